#include "vpn/directdaemonlauncher.h"

#include <QFile>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/prctl.h>
#include <unistd.h>
#include <vector>

#include "vpn/ovpnclient.h"
#include "vpn/ovpndaemonoptions.h"

namespace ovpn {

namespace {

// How long the destructor waits for a killed daemon to be reaped.
constexpr int KillWaitMs = 3000;

QString errorText()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

} // namespace

DirectDaemonLauncher::DirectDaemonLauncher(QObject *parent)
    : DaemonLauncher(parent)
{
    m_process.setProcessChannelMode(QProcess::MergedChannels);
    connect(&m_process, &QProcess::started, this, &DaemonLauncher::started);
    connect(&m_process, &QProcess::readyReadStandardOutput, this, &DirectDaemonLauncher::readOutput);
    connect(&m_process, &QProcess::finished, this, &DirectDaemonLauncher::processFinished);
    connect(&m_process, &QProcess::errorOccurred, this, &DirectDaemonLauncher::processError);
}

DirectDaemonLauncher::~DirectDaemonLauncher()
{
    m_process.disconnect(this);
    if (m_process.state() != QProcess::NotRunning) {
        m_process.kill();
        m_process.waitForFinished(KillWaitMs);
    }
}

void DirectDaemonLauncher::start(const DaemonLaunch &launch)
{
    if (!writeProfile(launch))
        return;
    std::vector<std::string> options;
    for (const QString &option : launch.options)
        options.push_back(option.toStdString());
    QStringList arguments;
    for (const std::string &argument :
         daemonArguments(launch.profilePath.toStdString(), launch.managementSocket.toStdString(), options))
        arguments << QString::fromStdString(argument);

    const pid_t parent = ::getpid();
    m_process.setChildProcessModifier([parent] {
        // The daemon must not outlive us even when we are killed outright. The death
        // signal follows the thread that forked, which waits for the daemon's end.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent)
            ::_exit(127);
    });
    m_process.setWorkingDirectory(launch.directory);
    m_process.start(OvpnClient::daemonProgram(), arguments, QIODevice::ReadOnly);
    if (m_process.state() == QProcess::NotRunning && !m_failed)
        processError(QProcess::FailedToStart);
}

bool DirectDaemonLauncher::writeProfile(const DaemonLaunch &launch)
{
    const QByteArray path = QFile::encodeName(launch.profilePath);
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        m_failed = true;
        emit failed(QStringLiteral("PRIVATE_DIRECTORY_FAILED"), QStringLiteral("cannot write the profile: ") + errorText());
        return false;
    }
    const std::string &profile = launch.profile;
    std::size_t written = 0;
    while (written < profile.size()) {
        const ssize_t n = ::write(fd, profile.data() + written, profile.size() - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            const QString error = errorText();
            ::close(fd);
            m_failed = true;
            emit failed(QStringLiteral("PRIVATE_DIRECTORY_FAILED"), QStringLiteral("cannot write the profile: ") + error);
            return false;
        }
        written += std::size_t(n);
    }
    ::close(fd);
    return true;
}

void DirectDaemonLauncher::terminate()
{
    if (m_process.state() != QProcess::NotRunning)
        m_process.terminate();
}

void DirectDaemonLauncher::kill()
{
    if (m_process.state() != QProcess::NotRunning)
        m_process.kill();
}

void DirectDaemonLauncher::readOutput()
{
    m_output += m_process.readAll();
    emitLines(false);
}

void DirectDaemonLauncher::emitLines(bool all)
{
    qsizetype end;
    while ((end = m_output.indexOf('\n')) >= 0) {
        const QByteArray line = m_output.left(end);
        m_output.remove(0, end + 1);
        emit output(QString::fromUtf8(line));
    }
    if (all && !m_output.isEmpty()) {
        emit output(QString::fromUtf8(m_output));
        m_output.clear();
    }
}

void DirectDaemonLauncher::processFinished(int exitCode, QProcess::ExitStatus exitStatus)
{
    readOutput();
    emitLines(true);
    emit finished(exitCode, exitStatus == QProcess::CrashExit);
}

void DirectDaemonLauncher::processError(QProcess::ProcessError error)
{
    if (error != QProcess::FailedToStart || m_failed)
        return;
    m_failed = true;
    emit failed(QStringLiteral("DAEMON_START_FAILED"),
                QStringLiteral("cannot start ") + OvpnClient::daemonProgram() + QStringLiteral(": ") + m_process.errorString());
}

} // namespace ovpn
