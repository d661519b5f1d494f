#include "serial/porttrace.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/logfile.h"

namespace {

QString reason(const QString &what)
{
    return what + QLatin1String(": ") + QString::fromLocal8Bit(std::strerror(errno));
}

} // namespace

PortTrace::~PortTrace()
{
    close();
}

QString PortTrace::defaultDirectory()
{
    return LogFile::defaultDirectory() + QLatin1String("/traces");
}

bool PortTrace::open(const QString &directory, const QString &name, QString *error)
{
    close();
    static const QRegularExpression validName(QStringLiteral("^[A-Za-z0-9_-]{1,64}$"));
    if (!validName.match(name).hasMatch()) {
        *error = QLatin1String("not a port name: ") + name;
        return false;
    }
    // The levels above are the user's own state directory; the last one is ours alone.
    QFileInfo info(directory);
    QDir().mkpath(info.absolutePath());
    const QByteArray path = QFile::encodeName(directory);
    if (::mkdir(path.constData(), 0700) != 0 && errno != EEXIST) {
        *error = reason(directory);
        return false;
    }
    m_directory = ::open(path.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat status{};
    if (m_directory < 0 || ::fstat(m_directory, &status) != 0) {
        *error = reason(directory);
        close();
        return false;
    }
    if (status.st_uid != ::geteuid() || ::fchmod(m_directory, 0700) != 0) {
        *error = directory + QLatin1String(" is not the user's own");
        close();
        return false;
    }
    m_name = QFile::encodeName(name) + ".trace";
    m_path = directory + QLatin1Char('/') + QString::fromLatin1(m_name);
    return openFile(error);
}

bool PortTrace::openFile(QString *error)
{
    m_file = ::openat(m_directory, m_name.constData(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK,
                      0600);
    struct stat status{};
    if (m_file < 0 || ::fstat(m_file, &status) != 0) {
        if (error)
            *error = reason(m_path);
        close();
        return false;
    }
    // A hard link to another file of the user's would be written through.
    if (!S_ISREG(status.st_mode) || status.st_uid != ::geteuid() || status.st_nlink != 1
        || ::fchmod(m_file, 0600) != 0) {
        if (error)
            *error = m_path + QLatin1String(" is not a file of the user's own");
        close();
        return false;
    }
    m_size = status.st_size;
    return true;
}

void PortTrace::close()
{
    if (m_file >= 0)
        ::close(m_file);
    if (m_directory >= 0)
        ::close(m_directory);
    m_file = -1;
    m_directory = -1;
}

void PortTrace::write(const QByteArray &line)
{
    if (m_file < 0)
        return;
    if (m_size + line.size() > MaxBytes / 2) {
        ::close(m_file);
        m_file = -1;
        const QByteArray old = m_name + ".1";
        if (::renameat(m_directory, m_name.constData(), m_directory, old.constData()) != 0 || !openFile(nullptr)) {
            close();
            return;
        }
    }
    const ssize_t n = ::write(m_file, line.constData(), size_t(line.size()));
    if (n > 0)
        m_size += n;
}
