#include "vpnprocesses.h"

#include <QDir>
#include <QFile>

namespace VpnProcesses {

namespace {

QByteArray readProc(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

} // namespace

QList<pid_t> openvpnChildren(pid_t parent)
{
    QList<pid_t> children;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        bool ok = false;
        const pid_t pid = entry.toInt(&ok);
        if (!ok)
            continue;
        // /proc/<pid>/stat: pid (comm) state ppid ...
        const QByteArray stat = readProc(QStringLiteral("/proc/") + entry + QStringLiteral("/stat"));
        const int close = stat.lastIndexOf(')');
        if (close < 0 || stat.mid(stat.indexOf('(') + 1, close - stat.indexOf('(') - 1) != "openvpn")
            continue;
        const QList<QByteArray> fields = stat.mid(close + 2).split(' ');
        if (fields.size() > 1 && fields[0] != "Z" && fields[1].toInt() == parent)
            children.append(pid);
    }
    return children;
}

bool isAlive(pid_t pid)
{
    const QByteArray stat = readProc(QStringLiteral("/proc/%1/stat").arg(pid));
    const int close = stat.lastIndexOf(')');
    return close >= 0 && stat.mid(close + 2, 1) != "Z";
}

QStringList tunInterfaces(pid_t pid)
{
    QStringList names;
    const QString fdinfo = QStringLiteral("/proc/%1/fdinfo").arg(pid);
    const QStringList entries = QDir(fdinfo).entryList(QDir::Files);
    for (const QString &entry : entries) {
        const QList<QByteArray> lines = readProc(fdinfo + QLatin1Char('/') + entry).split('\n');
        for (const QByteArray &line : lines) {
            if (line.startsWith("iff:"))
                names.append(QString::fromUtf8(line.mid(4).trimmed()));
        }
    }
    return names;
}

bool interfaceExists(const QString &name)
{
    return QFile::exists(QStringLiteral("/sys/class/net/") + name);
}

} // namespace VpnProcesses
