#include "helperprocess.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <unistd.h>

#include "testbinaries.h"

namespace {

const int StartTimeoutMs = 10000;
const int StopTimeoutMs = 10000;

} // namespace

HelperProcess::HelperProcess(const QString &group)
    : m_directory(QDir::tempPath() + QStringLiteral("/corrivo-helper-XXXXXX"))
    , m_group(group)
{
    m_process.setProcessChannelMode(QProcess::MergedChannels);
}

HelperProcess::~HelperProcess()
{
    stop();
}

QString HelperProcess::unavailableReason()
{
    return ::geteuid() == 0 ? QString() : QStringLiteral("corrivo2-helper runs as root");
}

bool HelperProcess::start()
{
    if (!unavailableReason().isEmpty()) {
        m_error = unavailableReason();
        return false;
    }
    if (!m_directory.isValid()) {
        m_error = QStringLiteral("no temporary directory: ") + m_directory.errorString();
        return false;
    }
    const QString program = TestBinaries::path(QStringLiteral("corrivo2-helper"));
    if (!QFileInfo(program).isExecutable()) {
        m_error = QStringLiteral("no helper at ") + program;
        return false;
    }
    m_process.start(program, {QStringLiteral("--socket"), socketPath(), QStringLiteral("--group"), m_group,
                              QStringLiteral("--runtime-dir"), m_directory.filePath(QStringLiteral("run"))});
    if (!m_process.waitForStarted(StartTimeoutMs)) {
        m_error = QStringLiteral("the helper did not start: ") + m_process.errorString();
        return false;
    }
    const QDeadlineTimer deadline(StartTimeoutMs);
    while (!QFileInfo(socketPath()).exists()) {
        if (m_process.state() == QProcess::NotRunning || deadline.hasExpired()) {
            m_error = QStringLiteral("the helper does not listen on %1: %2").arg(socketPath(), QString::fromUtf8(log()));
            stop();
            return false;
        }
        m_process.waitForReadyRead(20);
    }
    m_hadSocket = qEnvironmentVariableIsSet("CORRIVO_HELPER_SOCKET");
    m_previousSocket = qgetenv("CORRIVO_HELPER_SOCKET");
    qputenv("CORRIVO_HELPER_SOCKET", QFile::encodeName(socketPath()));
    m_exported = true;
    return true;
}

void HelperProcess::stop()
{
    if (m_process.state() != QProcess::NotRunning) {
        // SIGTERM: the helper ends its daemons and removes its files.
        m_process.terminate();
        if (!m_process.waitForFinished(StopTimeoutMs)) {
            m_process.kill();
            m_process.waitForFinished(StopTimeoutMs);
        }
    }
    if (m_exported) {
        m_hadSocket ? qputenv("CORRIVO_HELPER_SOCKET", m_previousSocket) : qunsetenv("CORRIVO_HELPER_SOCKET");
        m_exported = false;
    }
}

void HelperProcess::kill()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.kill();
    m_process.waitForFinished(StopTimeoutMs);
}

pid_t HelperProcess::pid() const
{
    return pid_t(m_process.processId());
}

QString HelperProcess::socketPath() const
{
    return m_directory.filePath(QStringLiteral("helper.sock"));
}

QString HelperProcess::directory() const
{
    return m_directory.path();
}

QByteArray HelperProcess::log()
{
    m_log += m_process.readAll();
    return m_log;
}

QString HelperProcess::errorString() const
{
    return m_error;
}
