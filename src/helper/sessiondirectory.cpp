#include "sessiondirectory.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char ProfileName[] = "profile.ovpn";
const char SocketName[] = "management";

QString errorText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

bool writeAll(int fd, const std::string &text)
{
    std::size_t written = 0;
    while (written < text.size()) {
        const ssize_t n = ::write(fd, text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        written += std::size_t(n);
    }
    return true;
}

// Only the names the helper itself makes; unlink never follows a link.
void removeDirectory(const QString &path)
{
    const QByteArray directory = QFile::encodeName(path);
    ::unlink(QByteArray(directory + '/' + ProfileName).constData());
    ::unlink(QByteArray(directory + '/' + SocketName).constData());
    ::rmdir(directory.constData());
}

} // namespace

SessionDirectory::~SessionDirectory()
{
    remove();
}

bool SessionDirectory::create(const QString &root, const std::string &profile, QString *error)
{
    // mkdtemp makes the directory with mode 0700, inside the helper's root-only directory.
    QByteArray pattern = QFile::encodeName(root + QStringLiteral("/%1-XXXXXX").arg(::getpid()));
    if (!::mkdtemp(pattern.data())) {
        *error = QStringLiteral("cannot create the session directory: ") + errorText(errno);
        return false;
    }
    m_path = QFile::decodeName(pattern);
    if (QFile::encodeName(socketPath()).size() > 107) {
        *error = QStringLiteral("the helper's runtime directory path is too long for a socket");
        return false;
    }

    const QByteArray profileFile = QFile::encodeName(profilePath());
    const int fd = ::open(profileFile.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        *error = QStringLiteral("cannot write the profile: ") + errorText(errno);
        return false;
    }
    const bool written = writeAll(fd, profile);
    const int writeError = errno;
    if (::close(fd) != 0 || !written) {
        *error = QStringLiteral("cannot write the profile: ") + errorText(written ? errno : writeError);
        return false;
    }
    return true;
}

QString SessionDirectory::path() const
{
    return m_path;
}

QString SessionDirectory::profilePath() const
{
    return m_path + QLatin1Char('/') + QLatin1String(ProfileName);
}

QString SessionDirectory::socketPath() const
{
    return m_path + QLatin1Char('/') + QLatin1String(SocketName);
}

void SessionDirectory::removeProfile()
{
    if (!m_path.isEmpty())
        ::unlink(QFile::encodeName(profilePath()).constData());
}

void SessionDirectory::remove()
{
    if (m_path.isEmpty())
        return;
    removeDirectory(m_path);
    m_path.clear();
}

void SessionDirectory::removeStale(const QString &root)
{
    static const QRegularExpression pattern(QStringLiteral("^(\\d+)-\\w{6}$"));
    const QDir directory(root);
    const QStringList names = directory.entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
    for (const QString &name : names) {
        const QRegularExpressionMatch match = pattern.match(name);
        if (!match.hasMatch())
            continue;
        const pid_t pid = pid_t(match.captured(1).toLongLong());
        // Before this helper made any, a directory named after its own process id was
        // left by an earlier helper that had the same id.
        const bool ended = pid == ::getpid() || (pid > 0 && ::kill(pid, 0) == -1 && errno == ESRCH);
        if (!ended)
            continue;
        struct stat status;
        const QString path = directory.filePath(name);
        if (::lstat(QFile::encodeName(path).constData(), &status) == 0 && S_ISDIR(status.st_mode))
            removeDirectory(path);
    }
}
