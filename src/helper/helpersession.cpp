#include "helpersession.h"

#include <QProcessEnvironment>
#include <QStandardPaths>
#include <QStringList>

#include <csignal>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "managementpath.h"
#include "managementrelay.h"
#include "vpn/ovpndaemonoptions.h"

namespace {

// How long the client's management socket may take to accept the helper, the daemon
// to connect its management channel, and the daemon to end after SIGTERM before it is
// killed.
constexpr int ConnectTimeoutMs = 5000;
constexpr int ManagementTimeoutMs = 15000;
constexpr int TerminateGraceMs = 3000;
// A daemon line longer than this is passed on in pieces.
constexpr int MaxOutputLineBytes = 16 * 1024;

void wipe(std::string &secret)
{
    volatile char *p = secret.empty() ? nullptr : &secret[0];
    for (std::size_t i = 0; p && i < secret.size(); ++i)
        p[i] = 0;
    secret.clear();
}

} // namespace

HelperSession::HelperSession(const PeerCredentials &peer, const QString &sessionsRoot, QObject *parent)
    : QObject(parent)
    , m_peer(peer)
    , m_sessionsRoot(sessionsRoot)
{
    for (QTimer *timer : {&m_connectTimer, &m_managementTimer, &m_stopTimer})
        timer->setSingleShot(true);
    connect(&m_connectTimer, &QTimer::timeout, this, [this] {
        refuse(QStringLiteral("the management socket did not accept the connection within %1 s")
                   .arg(ConnectTimeoutMs / 1000));
    });
    connect(&m_managementTimer, &QTimer::timeout, this, [this] {
        stopDaemon(QStringLiteral("openvpn did not open its management channel"));
    });
    connect(&m_stopTimer, &QTimer::timeout, this, &HelperSession::escalateStop);

    // Until the relay runs, what the client sends waits in the socket, not in the helper.
    m_clientManagement.setReadBufferSize(64 * 1024);
    connect(&m_clientManagement, &QLocalSocket::connected, this, &HelperSession::clientManagementConnected);
    connect(&m_clientManagement, &QLocalSocket::errorOccurred, this, &HelperSession::clientManagementFailed);
    connect(&m_clientManagement, &QLocalSocket::disconnected, this, [this] {
        stopDaemon(QStringLiteral("the client closed its management socket"));
    });
    connect(&m_server, &QLocalServer::newConnection, this, &HelperSession::acceptDaemonManagement);

    m_process.setProcessChannelMode(QProcess::MergedChannels);
    connect(&m_process, &QProcess::started, this, &HelperSession::daemonStarted);
    connect(&m_process, &QProcess::errorOccurred, this, &HelperSession::daemonError);
    connect(&m_process, &QProcess::readyReadStandardOutput, this, &HelperSession::readDaemonOutput);
    connect(&m_process, &QProcess::finished, this, &HelperSession::daemonFinished);
}

HelperSession::~HelperSession()
{
    int exitCode = 0;
    bool crashed = false;
    endNow(&exitCode, &crashed);
}

bool HelperSession::endNow(int *exitCode, bool *crashed)
{
    delete m_relay;
    m_relay = nullptr;
    m_process.disconnect(this);
    m_clientManagement.disconnect(this);
    m_server.disconnect(this);
    wipe(m_profile);
    if (m_process.state() == QProcess::NotRunning)
        return false;
    m_process.terminate();
    if (!m_process.waitForFinished(TerminateGraceMs)) {
        m_process.kill();
        m_process.waitForFinished(1000);
    }
    *exitCode = m_process.exitCode();
    *crashed = m_process.exitStatus() == QProcess::CrashExit;
    return true;
}

QString HelperSession::daemonProgram()
{
    // Not from the search path or the environment: whoever started the helper decides
    // neither what runs as root.
    return QStandardPaths::findExecutable(QStringLiteral("openvpn"),
                                          {QStringLiteral("/usr/sbin"), QStringLiteral("/sbin")});
}

void HelperSession::start(const std::string &profile, const QString &managementPath)
{
    if (m_phase != Phase::Idle)
        return;
    const QString problem = ManagementPath::problem(managementPath, m_peer.uid);
    if (!problem.isEmpty()) {
        refuse(problem);
        return;
    }
    m_managementPath = managementPath;
    m_profile = profile;
    moveTo(Phase::Connecting);
}

void HelperSession::stop()
{
    stopDaemon(QStringLiteral("the client closed its connection to the helper"));
}

void HelperSession::moveTo(Phase phase)
{
    if (m_phase == Phase::Ended || m_phase == phase)
        return;
    m_phase = phase;
    switch (phase) {
    case Phase::Idle:
        break;
    case Phase::Connecting:
        // The socket may report connected (or failed) before connectToServer() returns.
        m_connectTimer.start(ConnectTimeoutMs);
        m_clientManagement.connectToServer(m_managementPath);
        break;
    case Phase::Starting:
        startDaemon();
        break;
    case Phase::Relaying:
        m_relay = new ManagementRelay(m_daemonManagement, &m_clientManagement, this);
        connect(m_relay, &ManagementRelay::closed, this, [this] {
            stopDaemon(QStringLiteral("the management channel was closed"));
        });
        break;
    case Phase::Stopping:
        break;
    case Phase::Ended:
        releaseAll();
        emit ended();
        break;
    }
}

void HelperSession::refuse(const QString &reason)
{
    if (m_phase == Phase::Ended)
        return;
    emit refused(reason);
    moveTo(Phase::Ended);
}

void HelperSession::clientManagementConnected()
{
    if (m_phase != Phase::Connecting)
        return;
    m_connectTimer.stop();
    // The path was checked, but the user could have put another socket there since;
    // only a process of the user's own can listen on a socket that shows its uid here.
    const PeerCredentials listener = PeerCredentials::of(m_clientManagement.socketDescriptor());
    if (!listener.valid || listener.uid != m_peer.uid) {
        refuse(QStringLiteral("the management socket %1 is served by uid %2, not by uid %3")
                   .arg(m_managementPath,
                        listener.valid ? QString::number(listener.uid) : QStringLiteral("(unknown)"),
                        QString::number(m_peer.uid)));
        return;
    }
    QString error;
    const bool created = m_directory.create(m_sessionsRoot, m_profile, &error);
    wipe(m_profile);
    if (!created) {
        refuse(error);
        return;
    }
    if (!m_server.listen(m_directory.socketPath())) {
        refuse(QStringLiteral("cannot listen for the daemon's management channel: ") + m_server.errorString());
        return;
    }
    moveTo(Phase::Starting);
}

void HelperSession::clientManagementFailed()
{
    if (m_phase == Phase::Connecting) {
        refuse(QStringLiteral("cannot connect to the management socket %1: %2")
                   .arg(m_managementPath, m_clientManagement.errorString()));
    }
}

void HelperSession::startDaemon()
{
    const QString program = daemonProgram();
    if (program.isEmpty()) {
        refuse(QStringLiteral("openvpn is not installed (looked for it in /usr/sbin and /sbin)"));
        return;
    }
    QStringList arguments;
    const std::vector<std::string> options = ovpn::configOptions(ovpn::applicationConfig());
    for (const std::string &argument : ovpn::daemonArguments(m_directory.profilePath().toStdString(),
                                                             m_directory.socketPath().toStdString(), options))
        arguments << QString::fromStdString(argument);

    // The daemon runs no scripts; it gets a fixed environment rather than the one the
    // helper was started with.
    QProcessEnvironment environment;
    environment.insert(QStringLiteral("PATH"), QStringLiteral("/usr/sbin:/usr/bin:/sbin:/bin"));
    m_process.setProcessEnvironment(environment);
    m_process.setWorkingDirectory(m_directory.path());
    const pid_t parent = ::getpid();
    m_process.setChildProcessModifier([parent] {
        // The daemon must not outlive the helper even when the helper is killed outright
        // (the helper has one thread, the one that forks).
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent)
            ::_exit(127);
        // The helper ignores SIGPIPE; an ignored signal would stay ignored across exec.
        ::signal(SIGPIPE, SIG_DFL);
        ::umask(077);
    });
    m_process.start(program, arguments, QIODevice::ReadOnly);
}

void HelperSession::daemonStarted()
{
    if (m_phase != Phase::Starting && m_phase != Phase::Stopping)
        return;
    m_managementTimer.start(ManagementTimeoutMs);
    emit started(m_process.processId());
}

void HelperSession::daemonError(QProcess::ProcessError error)
{
    if (error == QProcess::FailedToStart)
        refuse(QStringLiteral("cannot start openvpn: ") + m_process.errorString());
}

void HelperSession::acceptDaemonManagement()
{
    while (QLocalSocket *socket = m_server.nextPendingConnection()) {
        // Only root reaches the session's directory; of root's processes, only the
        // daemon this session started is let in.
        const PeerCredentials peer = PeerCredentials::of(socket->socketDescriptor());
        if (m_phase != Phase::Starting || m_daemonManagement || !peer.valid || peer.pid != m_process.processId()) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
        m_daemonManagement = socket;
        m_managementTimer.stop();
        // The daemon has read its profile before it opens the management channel and
        // never reads it again.
        m_directory.removeProfile();
        moveTo(Phase::Relaying);
    }
}

void HelperSession::readDaemonOutput()
{
    m_outputBuffer += m_process.readAllStandardOutput();
    emitOutputLines(false);
}

void HelperSession::emitOutputLines(bool all)
{
    while (!m_outputBuffer.isEmpty()) {
        qsizetype end = m_outputBuffer.indexOf('\n');
        qsizetype next = end + 1;
        if (end < 0 || end > MaxOutputLineBytes) {
            if (!all && m_outputBuffer.size() <= MaxOutputLineBytes)
                return;
            end = qMin(m_outputBuffer.size(), qsizetype(MaxOutputLineBytes));
            next = end;
        }
        QByteArray line = m_outputBuffer.left(end);
        m_outputBuffer.remove(0, next);
        if (line.endsWith('\r'))
            line.chop(1);
        emit output(QString::fromUtf8(line));
    }
}

void HelperSession::stopDaemon(const QString &why)
{
    switch (m_phase) {
    case Phase::Idle:
    case Phase::Connecting:
        moveTo(Phase::Ended);
        break;
    case Phase::Starting:
    case Phase::Relaying:
        emit logged(why + QStringLiteral("; ending openvpn"));
        moveTo(Phase::Stopping);
        m_managementTimer.stop();
        m_process.terminate();
        m_stopTimer.start(TerminateGraceMs);
        break;
    case Phase::Stopping:
    case Phase::Ended:
        break;
    }
}

void HelperSession::escalateStop()
{
    if (m_phase != Phase::Stopping || m_process.state() == QProcess::NotRunning)
        return;
    emit logged(QStringLiteral("openvpn did not end after SIGTERM; killing it"));
    m_process.kill();
}

void HelperSession::daemonFinished(int exitCode, QProcess::ExitStatus exitStatus)
{
    if (m_phase == Phase::Ended)
        return;
    readDaemonOutput();
    emitOutputLines(true);
    passDaemonsLastWords();
    emit exited(exitCode, exitStatus == QProcess::CrashExit);
    moveTo(Phase::Ended);
}

void HelperSession::passDaemonsLastWords()
{
    // The daemon's final notifications (EXITING, a fatal error) may still wait in its
    // socket; the daemon is gone, so no wait here lasts long.
    if (!m_relay || !m_daemonManagement)
        return;
    for (int i = 0; i < 20; ++i) {
        m_clientManagement.write(m_daemonManagement->readAll());
        if (!m_daemonManagement->waitForReadyRead(20))
            break;
    }
    m_clientManagement.write(m_daemonManagement->readAll());
    m_clientManagement.flush();
}

void HelperSession::releaseAll()
{
    m_connectTimer.stop();
    m_managementTimer.stop();
    m_stopTimer.stop();
    delete m_relay;
    m_relay = nullptr;
    m_clientManagement.disconnect(this);
    m_clientManagement.disconnectFromServer();
    if (m_daemonManagement) {
        m_daemonManagement->abort();
        m_daemonManagement->deleteLater();
        m_daemonManagement = nullptr;
    }
    m_server.close();
    m_directory.remove();
    wipe(m_profile);
}
