// resolvconf: the link's servers and search domains as a record of their own, which
// resolvconf merges into /etc/resolv.conf. resolv.conf cannot route a domain to one
// server, so routing-only domains are not given to it.
#include "helperlog.h"
#include "linkdnsbackends.h"
#include "linkdnscheck.h"

#include <QProcess>
#include <QProcessEnvironment>

#include <sys/stat.h>

namespace linkdns {

namespace {

// resolvconf runs its update scripts; they are quick, but a stuck one must not stall
// the helper.
constexpr int RunTimeoutMs = 5000;
constexpr qsizetype MaxOutputShown = 300;

// A directory or file of root that nobody else may write, examined without following
// a link.
bool isRootOnly(const char *path, bool directory)
{
    struct stat st {};
    if (lstat(path, &st) != 0 || st.st_uid != 0 || (st.st_mode & (S_IWGRP | S_IWOTH)))
        return false;
    return directory ? S_ISDIR(st.st_mode) : (S_ISREG(st.st_mode) && (st.st_mode & S_IXUSR));
}

QString printable(const QByteArray &bytes)
{
    QString text = QString::fromUtf8(bytes.left(MaxOutputShown)).simplified();
    for (QChar &c : text) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            c = QLatin1Char('?');
    }
    return text;
}

// Runs `program arguments` with `input` on standard input and a bare environment.
bool run(const QString &program, const QStringList &arguments, const QByteArray &input, QString *error)
{
    QProcess process;
    QProcessEnvironment environment;
    environment.insert(QStringLiteral("PATH"), QStringLiteral("/usr/sbin:/usr/bin:/sbin:/bin"));
    process.setProcessEnvironment(environment);
    process.setWorkingDirectory(QStringLiteral("/"));
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    if (!process.waitForStarted(RunTimeoutMs)) {
        if (error)
            *error = QStringLiteral("cannot run %1: %2").arg(program, process.errorString());
        return false;
    }
    process.write(input);
    process.closeWriteChannel();
    if (!process.waitForFinished(RunTimeoutMs)) {
        process.kill();
        process.waitForFinished(RunTimeoutMs);
        if (error)
            *error = QStringLiteral("%1 did not finish within %2 s").arg(program).arg(RunTimeoutMs / 1000);
        return false;
    }
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        if (error)
            *error = QStringLiteral("%1 failed (exit code %2): %3")
                         .arg(program)
                         .arg(process.exitCode())
                         .arg(printable(process.readAll()));
        return false;
    }
    return true;
}

class ResolvconfLinkDns final : public LinkDnsConfigurator
{
public:
    explicit ResolvconfLinkDns(const QString &program)
        : m_program(program)
    {
    }

    Method method() const override { return Method::Resolvconf; }

    bool apply(const LinkDns &dns, QString *error) override
    {
        const std::optional<LinkDns> ok = checked(dns, error);
        if (!ok)
            return false;
        return run(m_program, {QStringLiteral("-a"), resolvconfRecordName(ok->ifname)},
                   resolvconfRecord(*ok), error);
    }

    void revert(const QString &ifname, int) override
    {
        if (!isInterfaceName(ifname))
            return;
        QString error;
        if (!run(m_program, {QStringLiteral("-d"), resolvconfRecordName(ifname)}, {}, &error))
            helperLog(QStringLiteral("the DNS settings of %1 were not reverted: %2").arg(ifname, error));
    }

private:
    QString m_program;
};

}  // namespace

QString trustedResolvconf()
{
    if (isRootOnly("/", true) && isRootOnly("/usr", true) && isRootOnly("/usr/sbin", true)
        && isRootOnly("/usr/sbin/resolvconf", false))
        return QStringLiteral("/usr/sbin/resolvconf");
    if (isRootOnly("/sbin", true) && isRootOnly("/sbin/resolvconf", false))
        return QStringLiteral("/sbin/resolvconf");
    return {};
}

QString resolvconfRecordName(const QString &ifname)
{
    return ifname + QStringLiteral(".corrivo2");
}

QByteArray resolvconfRecord(const LinkDns &dns)
{
    QByteArray record;
    for (const QHostAddress &server : dns.servers)
        record += "nameserver " + server.toString().toLatin1() + '\n';
    if (!dns.searchDomains.isEmpty())
        record += "search " + dns.searchDomains.join(QLatin1Char(' ')).toLatin1() + '\n';
    return record;
}

std::unique_ptr<LinkDnsConfigurator> makeResolvconf(const QString &program)
{
    return std::make_unique<ResolvconfLinkDns>(program);
}

}  // namespace linkdns
