#include "bridge/profiledirectory.h"

#include <QFile>
#include <QRandomGenerator>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString systemError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

} // namespace

ProfileDirectory::ProfileDirectory(QString path)
    : m_path(std::move(path))
{
}

ProfileDirectory::~ProfileDirectory()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

bool ProfileDirectory::open()
{
    if (m_fd >= 0)
        return true;
    const int fd = ::open(QFile::encodeName(m_path).constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        m_error = errno == ELOOP || errno == ENOTDIR ? QStringLiteral("not a directory of its own") : systemError();
        return false;
    }
    struct stat info = {};
    if (::fstat(fd, &info) != 0) {
        m_error = systemError();
        ::close(fd);
        return false;
    }
    // Another user's directory could be changed under us whatever mode we gave it.
    if (info.st_uid != ::geteuid()) {
        m_error = QStringLiteral("owned by another user");
        ::close(fd);
        return false;
    }
    // Profile files hold keys: only the owner may enter the directory.
    if (::fchmod(fd, S_IRWXU) != 0) {
        m_error = systemError();
        ::close(fd);
        return false;
    }
    m_fd = fd;
    return true;
}

bool ProfileDirectory::isOpen() const
{
    return m_fd >= 0;
}

bool ProfileDirectory::write(const QString &name, const QByteArray &content)
{
    if (m_fd < 0) {
        m_error = QStringLiteral("directory not open");
        return false;
    }
    const QByteArray target = QFile::encodeName(name);
    // A fresh file, renamed over the name at the end: a link or anything else under
    // the name is replaced, not opened.
    QByteArray temporary;
    int fd = -1;
    for (int attempt = 0; attempt < 16 && fd < 0; ++attempt) {
        temporary = '.' + target + '.' + QByteArray::number(QRandomGenerator::global()->generate(), 36);
        fd = ::openat(m_fd, temporary.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, S_IRUSR | S_IWUSR);
        if (fd < 0 && errno != EEXIST)
            break;
    }
    if (fd < 0) {
        m_error = systemError();
        return false;
    }

    bool written = true;
    qsizetype offset = 0;
    while (written && offset < content.size()) {
        const ssize_t n = ::write(fd, content.constData() + offset, std::size_t(content.size() - offset));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            m_error = systemError();
            written = false;
        } else {
            offset += n;
        }
    }
    if (::close(fd) != 0 && written) {
        m_error = systemError();
        written = false;
    }
    if (written && ::renameat(m_fd, temporary.constData(), m_fd, target.constData()) != 0) {
        m_error = systemError();
        written = false;
    }
    if (!written)
        ::unlinkat(m_fd, temporary.constData(), 0);
    return written;
}

QString ProfileDirectory::errorString() const
{
    return m_error;
}
