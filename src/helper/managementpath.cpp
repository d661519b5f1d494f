#include "managementpath.h"

#include <QByteArray>
#include <QList>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>

namespace ManagementPath {

namespace {

QString errorText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

QString modeText(mode_t mode)
{
    return QStringLiteral("%1").arg(uint(mode & 07777), 4, 8, QLatin1Char('0'));
}

// Looks at the entry itself, never where a link points: it must be of the given type
// and owned by uid.
QString ownEntryProblem(const QByteArray &path, const QString &what, mode_t type, uid_t uid, struct stat *status)
{
    const QString name = QString::fromUtf8(path);
    if (::lstat(path.constData(), status) != 0)
        return QStringLiteral("the %1 %2 cannot be examined: %3").arg(what, name, errorText(errno));
    if (S_ISLNK(status->st_mode))
        return QStringLiteral("the %1 %2 is a symbolic link").arg(what, name);
    if ((status->st_mode & S_IFMT) != type) {
        return QStringLiteral("the %1 %2 is not a %3")
            .arg(what, name, type == S_IFDIR ? QStringLiteral("directory") : QStringLiteral("socket"));
    }
    if (status->st_uid != uid) {
        return QStringLiteral("the %1 %2 is owned by uid %3, not by uid %4")
            .arg(what, name, QString::number(status->st_uid), QString::number(uid));
    }
    return QString();
}

} // namespace

QString problem(const QString &path, uid_t uid)
{
    const QByteArray bytes = path.toUtf8();
    if (!bytes.startsWith('/'))
        return QStringLiteral("the management path is not absolute");
    for (const char c : bytes) {
        if (uchar(c) < 0x20 || c == 0x7f)
            return QStringLiteral("the management path contains control characters");
    }
    if (bytes.size() > MaxBytes) {
        return QStringLiteral("the management path is too long (%1 bytes; at most %2)")
            .arg(bytes.size())
            .arg(MaxBytes);
    }
    const QList<QByteArray> components = bytes.mid(1).split('/');
    for (const QByteArray &component : components) {
        if (component.isEmpty() || component == "." || component == "..")
            return QStringLiteral("the management path has an empty, \".\" or \"..\" component");
    }

    const QByteArray directory = bytes.left(bytes.lastIndexOf('/'));
    const QString directoryName = directory.isEmpty() ? QStringLiteral("/") : QString::fromUtf8(directory);
    struct stat status;
    const QString refusal = ownEntryProblem(directory.isEmpty() ? QByteArray("/") : directory,
                                      QStringLiteral("management directory"), S_IFDIR, uid, &status);
    if (!refusal.isEmpty())
        return refusal;
    if ((status.st_mode & 07777) != 0700) {
        return QStringLiteral("the management directory %1 has mode %2; it must be 0700")
            .arg(directoryName, modeText(status.st_mode));
    }
    return ownEntryProblem(bytes, QStringLiteral("management socket"), S_IFSOCK, uid, &status);
}

} // namespace ManagementPath
