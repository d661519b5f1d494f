#include "labserver.h"

#include <QAtomicInt>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>

#include <unistd.h>

namespace {

QAtomicInt g_instances;

} // namespace

LabServer::LabServer()
{
    // At most 10 characters: "t", the process id and a letter counting the labs of
    // this process. removeStaleLabs() reads the process id back.
    m_name = QStringLiteral("t%1%2").arg(QCoreApplication::applicationPid())
                 .arg(QLatin1Char(char('a' + g_instances.fetchAndAddRelaxed(1) % 26)));
    m_clientDirectory = QDir::tempPath() + QStringLiteral("/corrivo-lab-client-") + m_name;
}

LabServer::~LabServer()
{
    down();
}

QString LabServer::script()
{
    const QString configured = qEnvironmentVariable("CORRIVO_LAB_SCRIPT");
    return configured.isEmpty() ? QStringLiteral(CORRIVO_LAB_SCRIPT) : configured;
}

QString LabServer::unavailableReason()
{
    if (::geteuid() != 0)
        return QStringLiteral("the VPN lab needs root (network namespaces, tun devices)");
    return QString();
}

std::unique_ptr<LabServer> LabServer::forTestCase(QString *error)
{
    *error = unavailableReason();
    if (!error->isEmpty())
        return nullptr;
    auto lab = std::make_unique<LabServer>();
    if (!lab->up()) {
        *error = lab->error();
        return nullptr;
    }
    return lab;
}

void LabServer::removeStaleLabs()
{
    // Labs of test processes that died without cleaning up (a crash, a time-out).
    static const QRegularExpression pattern(QStringLiteral("^t(\\d+)[a-z]$"));
    const QString root = qEnvironmentVariable("CORRIVO_LAB_STATE", QStringLiteral("/run/corrivo-lab"));
    const QStringList names = QDir(root).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &name : names) {
        const QRegularExpressionMatch match = pattern.match(name);
        if (!match.hasMatch() || QFile::exists(QStringLiteral("/proc/") + match.captured(1)))
            continue;
        QProcess process;
        process.start(QStringLiteral("bash"), {script(), QStringLiteral("-n"), name, QStringLiteral("down")});
        process.waitForFinished(30000);
        QDir(QDir::tempPath() + QStringLiteral("/corrivo-lab-client-") + name).removeRecursively();
    }
}

bool LabServer::runScript(const QString &command, QString *output)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    QStringList arguments{script(), QStringLiteral("-n"), m_name, QStringLiteral("-o"), m_clientDirectory};
    if (!m_password.isEmpty())
        arguments << QStringLiteral("-p") << m_password;
    process.start(QStringLiteral("bash"), arguments << command);
    if (!process.waitForFinished(60000)) {
        process.kill();
        process.waitForFinished(5000);
        m_error = QStringLiteral("lab.sh ") + command + QStringLiteral(" did not finish: ") + process.errorString();
        return false;
    }
    const QString text = QString::fromUtf8(process.readAll());
    if (output)
        *output = text;
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        m_error = QStringLiteral("lab.sh ") + command + QStringLiteral(" failed: ") + text.trimmed();
        return false;
    }
    return true;
}

bool LabServer::up()
{
    if (!unavailableReason().isEmpty()) {
        m_error = unavailableReason();
        return false;
    }
    removeStaleLabs();
    // Anything left by an earlier process that had the same id.
    runScript(QStringLiteral("down"));
    m_up = true;
    if (!runScript(QStringLiteral("up"))) {
        const QString reason = m_error;
        down();
        m_error = reason;
        return false;
    }
    QFile env(m_clientDirectory + QStringLiteral("/lab.env"));
    if (!env.open(QIODevice::ReadOnly)) {
        m_error = QStringLiteral("lab.env missing");
        down();
        return false;
    }
    const QStringList lines = QString::fromUtf8(env.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (const QString &line : lines) {
        const int equals = line.indexOf(QLatin1Char('='));
        if (equals > 0)
            m_values.insert(line.left(equals), line.mid(equals + 1));
    }
    QFile credentials(m_clientDirectory + QStringLiteral("/credentials"));
    if (!credentials.open(QIODevice::ReadOnly)) {
        m_error = QStringLiteral("credentials missing");
        down();
        return false;
    }
    const QStringList pair = QString::fromUtf8(credentials.readAll()).split(QLatin1Char('\n'));
    m_username = pair.value(0);
    m_password = pair.value(1);
    return true;
}

void LabServer::setPassword(const QString &password)
{
    m_password = password;
}

void LabServer::down()
{
    if (!m_up)
        return;
    runScript(QStringLiteral("down"));
    QDir(m_clientDirectory).removeRecursively();
    m_up = false;
}

bool LabServer::stopServer()
{
    return runScript(QStringLiteral("server-stop"));
}

bool LabServer::startServer()
{
    return runScript(QStringLiteral("server-start"));
}

bool LabServer::isUp() const
{
    return m_up;
}

QString LabServer::error() const
{
    return m_error;
}

QString LabServer::name() const
{
    return m_name;
}

QString LabServer::clientDirectory() const
{
    return m_clientDirectory;
}

QString LabServer::profilePath() const
{
    return m_clientDirectory + QStringLiteral("/client.ovpn");
}

QString LabServer::username() const
{
    return m_username;
}

QString LabServer::password() const
{
    return m_password;
}

QString LabServer::value(const QString &key) const
{
    return m_values.value(key);
}
