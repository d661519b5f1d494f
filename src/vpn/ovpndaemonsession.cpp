#include "vpn/ovpndaemonsession.h"

#include <QDir>
#include <QFileInfo>
#include <QFile>
#include <QLocalSocket>
#include <QRegularExpression>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "vpn/ovpnclient.h"
#include "vpn/ovpnmanagementline.h"

namespace ovpn {

namespace {

// How long the daemon may take to connect its management channel, and to end after
// a stop request before it is terminated and then killed.
constexpr int ManagementTimeoutMs = 15000;
constexpr int StopGraceMs = 5000;
constexpr int TerminateGraceMs = 3000;

void wipe(std::string &secret)
{
    volatile char *p = secret.empty() ? nullptr : &secret[0];
    for (std::size_t i = 0; p && i < secret.size(); ++i)
        p[i] = 0;
    secret.clear();
}

// The value of a management command: in double quotes, with the backslash escapes of
// the daemon's configuration lexer.
QByteArray managementQuote(const std::string &value)
{
    QByteArray quoted("\"");
    for (char c : value) {
        if (c == '\\' || c == '"')
            quoted += '\\';
        quoted += c;
    }
    quoted += '"';
    return quoted;
}

bool isTunnelFailure(const QString &text)
{
    static const QRegularExpression pattern(
        QStringLiteral("TUNSETIFF|TUN/TAP|tun device|Cannot open TUN|Linux can't|net_iface|net_addr|"
                       "ifconfig|Cannot allocate TUN"),
        QRegularExpression::CaseInsensitiveOption);
    return pattern.match(text).hasMatch();
}

} // namespace

SessionSettings::~SessionSettings()
{
    wipe(password);
    wipe(proxyPassword);
    wipe(profile);
}

DaemonSession::DaemonSession(OvpnClient &client, const SessionSettings &settings)
    : m_client(client)
    , m_settings(settings)
    , m_launcher(DaemonLauncher::create(DaemonLauncher::mode()))
{
    m_stopTimer.setSingleShot(true);
    connect(&m_stopTimer, &QTimer::timeout, this, &DaemonSession::escalateStop);
    m_managementTimer.setSingleShot(true);
    connect(&m_managementTimer, &QTimer::timeout, this, [this] {
        m_lastError = QStringLiteral("openvpn did not open its management channel");
        emitLog(m_lastError);
        m_launcher->kill();
    });
    connect(&m_server, &QLocalServer::newConnection, this, &DaemonSession::acceptManagement);
    connect(m_launcher.get(), &DaemonLauncher::output, this, &DaemonSession::daemonOutput);
    connect(m_launcher.get(), &DaemonLauncher::started, this, &DaemonSession::daemonStarted);
    connect(m_launcher.get(), &DaemonLauncher::finished, this, &DaemonSession::daemonFinished);
    connect(m_launcher.get(), &DaemonLauncher::failed, this, &DaemonSession::launchFailed);
    connect(m_launcher.get(), &DaemonLauncher::dnsReported, this, &DaemonSession::dnsReported);
}

DaemonSession::~DaemonSession()
{
    // A daemon still running ends with its launcher.
    m_launcher.reset();
    m_server.close();
    removePrivateFiles();
}

bool DaemonSession::disconnectReported() const
{
    return m_disconnectReported;
}

Status DaemonSession::run()
{
    if (!preparePrivateDirectory()) {
        Status status;
        status.error = true;
        status.status = "PRIVATE_DIRECTORY_FAILED";
        status.message = m_startError.toStdString();
        return status;
    }
    startDaemon();
    if (!m_daemonEnded)
        m_loop.exec();
    removePrivateFiles();
    return result();
}

void DaemonSession::removeStaleDirectories()
{
    // A process killed outright cannot remove its directory: the next connection of
    // any process does, once the owner's process id is gone. The temporary directory
    // is shared with every local user, who may plant anything under a name like ours:
    // only a real directory of our own, as mkdtemp makes it, is emptied, through its
    // descriptor and without following a link in it.
    static const QRegularExpression pattern(QStringLiteral("^corrivo-ovpn-(\\d+)-\\w{6}$"));
    const QByteArray tempPath = QFile::encodeName(QDir::tempPath());
    const int temp = ::open(tempPath.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (temp < 0)
        return;
    const QStringList names = QDir(QDir::tempPath())
                                  .entryList({QStringLiteral("corrivo-ovpn-*")},
                                             QDir::Dirs | QDir::NoSymLinks | QDir::NoDotAndDotDot);
    for (const QString &name : names) {
        const QRegularExpressionMatch match = pattern.match(name);
        if (!match.hasMatch())
            continue;
        const pid_t pid = pid_t(match.captured(1).toLongLong());
        if (pid <= 0 || !(::kill(pid, 0) == -1 && errno == ESRCH))
            continue;
        const QByteArray entry = QFile::encodeName(name);
        const int directory = ::openat(temp, entry.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (directory < 0)
            continue;
        struct stat info = {};
        if (::fstat(directory, &info) != 0 || info.st_uid != ::geteuid() || (info.st_mode & 07777) != 0700) {
            ::close(directory);
            continue;
        }
        // The listing owns the descriptor from here on.
        DIR *listing = ::fdopendir(directory);
        if (!listing) {
            ::close(directory);
            continue;
        }
        while (const dirent *file = ::readdir(listing)) {
            if (std::strcmp(file->d_name, ".") != 0 && std::strcmp(file->d_name, "..") != 0)
                ::unlinkat(directory, file->d_name, 0);
        }
        ::closedir(listing);
        ::unlinkat(temp, entry.constData(), AT_REMOVEDIR);
    }
    ::close(temp);
}

bool DaemonSession::preparePrivateDirectory()
{
    removeStaleDirectories();
    // mkdtemp makes the directory with mode 0700: the socket (which the daemon would
    // leave world-writable) and the profile are reachable by the owner only. The root
    // helper connects to the socket only in such a directory of the user's own.
    QByteArray pattern = QFile::encodeName(QDir::tempPath() + QStringLiteral("/corrivo-ovpn-%1-XXXXXX").arg(::getpid()));
    if (!::mkdtemp(pattern.data())) {
        m_startError = QStringLiteral("cannot create a private directory: ") + QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    m_directory = QFile::decodeName(pattern);
    m_profilePath = m_directory + QStringLiteral("/profile.ovpn");
    m_socketPath = m_directory + QStringLiteral("/management");

    if (!m_server.listen(m_socketPath)) {
        m_startError = QStringLiteral("cannot listen on the management socket: ") + m_server.errorString();
        return false;
    }
    return true;
}

void DaemonSession::startDaemon()
{
    DaemonLaunch launch;
    launch.profile = m_settings.profile;
    launch.directory = m_directory;
    launch.profilePath = m_profilePath;
    launch.managementSocket = m_socketPath;
    launch.options = m_settings.daemonOptions;
    m_launcher->start(launch);
    // launch.profile may hold key material.
    wipe(launch.profile);
}

void DaemonSession::daemonStarted()
{
    if (m_daemonEnded)
        return;
    m_daemonStarted = true;
    if (!m_managementOpen)
        m_managementTimer.start(ManagementTimeoutMs);
}

void DaemonSession::acceptManagement()
{
    QLocalSocket *socket = m_server.nextPendingConnection();
    if (!socket)
        return;
    if (m_socket) {
        socket->abort();
        return;
    }
    // Through the helper, this is the helper's relay, which connects before the daemon
    // runs; the daemon itself is there once it speaks (managementOpened()).
    m_socket = socket;
    connect(m_socket, &QLocalSocket::readyRead, this, &DaemonSession::readManagement);
    if (m_stopping)
        send("signal SIGTERM");
    readManagement();
}

void DaemonSession::readManagement()
{
    if (!m_managementOpen && m_socket && m_socket->canReadLine())
        managementOpened();
    while (m_socket && m_socket->canReadLine()) {
        QByteArray line = m_socket->readLine();
        while (line.endsWith('\n') || line.endsWith('\r'))
            line.chop(1);
        handleLine(QString::fromUtf8(line));
    }
}

void DaemonSession::managementOpened()
{
    m_managementOpen = true;
    m_managementTimer.stop();
    // The daemon has read its profile before it opens the management channel and
    // never reads it again: the copy on disk is not needed any longer.
    QFile::remove(m_profilePath);
    m_earlyOutput.clear();
}

void DaemonSession::daemonOutput(const QString &line)
{
    // The management channel replays the log from the start; the daemon's own output
    // matters only when it ends before that channel opens (an options error).
    if (!m_managementOpen)
        m_earlyOutput.append(line);
}

void DaemonSession::handleLine(const QString &text)
{
    const ManagementLine line = ManagementLine::parse(text, m_inLogHistory);
    switch (line.kind) {
    case ManagementLine::Kind::LogHistoryEnd:
        m_inLogHistory = false;
        break;
    case ManagementLine::Kind::Hold:
        handleHold();
        break;
    case ManagementLine::Kind::State:
        handleState(line);
        break;
    case ManagementLine::Kind::Password:
        handlePassword(line);
        break;
    case ManagementLine::Kind::Log:
        handleLog(line);
        break;
    case ManagementLine::Kind::Fatal:
        handleFatal(line.payload);
        break;
    case ManagementLine::Kind::ByteCount:
        m_client.recordBytes(line.bytesIn, line.bytesOut);
        break;
    case ManagementLine::Kind::InfoMessage:
        if (m_settings.reportInfo)
            emitEvent("INFO", line.payload.toStdString(), false, false);
        break;
    case ManagementLine::Kind::Success:
        if (line.logReplayStarts)
            m_inLogHistory = true;
        else if (m_credentialReplies > 0 && line.credentialEntered)
            --m_credentialReplies;
        break;
    case ManagementLine::Kind::Error:
        emitLog(QStringLiteral("management: ") + line.line);
        if (m_credentialReplies > 0) {
            // The daemon would wait for a valid answer for ever.
            m_credentialReplies = 0;
            m_failureStatus = "CREDS_ERROR";
            m_failureMessage = line.payload.trimmed().toStdString();
            emitEvent("CREDS_ERROR", m_failureMessage, true, true);
            requestStop();
        }
        break;
    case ManagementLine::Kind::Info:
    case ManagementLine::Kind::Other:
        break;
    }
}

void DaemonSession::handleHold()
{
    switch (m_phase) {
    case Phase::Starting:
        send("state on");
        send("log on all");
        send("bytecount 1");
        // Without "hold off" every restart inside the daemon would stop at a hold again.
        send("hold off");
        send("hold release");
        moveTo(Phase::Connecting);
        break;
    case Phase::Connecting:
    case Phase::Connected:
    case Phase::Reconnecting:
        send("hold release");
        break;
    case Phase::Disconnected:
        break;
    }
}

void DaemonSession::handleState(const ManagementLine &line)
{
    const QString &name = line.stateName;
    const std::string reason = line.reason.toStdString();

    if (name == QLatin1String("CONNECTED")) {
        m_localAddress = line.localAddress.toStdString();
        m_remote = line.remoteAddress.toStdString() + ':' + line.remotePort.toStdString();
        std::string info = m_settings.username + '@' + m_remote + " on " + m_tunnel.toStdString() + '/' + m_localAddress;
        if (reason != "SUCCESS")
            info += " (" + reason + ')';
        moveTo(Phase::Connected, info);
    } else if (name == QLatin1String("RECONNECTING")) {
        if (reason == "auth-failure")
            return;
        moveTo(Phase::Reconnecting, reason);
    } else if (name == QLatin1String("EXITING")) {
        moveTo(Phase::Disconnected, reason);
    } else if (name != QLatin1String("CONNECTING") && name != QLatin1String("INITIAL")) {
        // The steps of an attempt (WAIT, AUTH, GET_CONFIG, ASSIGN_IP, ...) pass through
        // under the daemon's own names.
        emitEvent(name.toStdString(), reason, false, false);
    }
}

void DaemonSession::handlePassword(const ManagementLine &line)
{
    switch (line.passwordRequest) {
    case ManagementLine::PasswordRequest::VerificationFailed:
        m_failureStatus = "AUTH_FAILED";
        m_failureMessage = line.failureReason.toStdString();
        emitEvent("AUTH_FAILED", m_failureMessage, true, true);
        break;
    case ManagementLine::PasswordRequest::Auth:
        sendCredential("Auth", m_settings.username, m_settings.password);
        break;
    case ManagementLine::PasswordRequest::HttpProxy:
        sendCredential("HTTP Proxy", m_settings.proxyUsername, m_settings.proxyPassword);
        break;
    case ManagementLine::PasswordRequest::OtherSecret:
        // A private key passphrase or a token PIN: nothing the application can supply.
        m_failureStatus = "NEED_CREDS";
        m_failureMessage = line.payload.toStdString();
        emitEvent("NEED_CREDS", m_failureMessage, true, true);
        requestStop();
        break;
    case ManagementLine::PasswordRequest::Unknown:
        break;
    }
}

void DaemonSession::handleLog(const ManagementLine &line)
{
    if (line.logError)
        m_lastError = line.logText;
    if (!line.tunnelOpened.isEmpty()) {
        m_tunnel = line.tunnelOpened;
        m_client.recordTunnel(m_tunnel);
    } else if (line.tunnelClosed) {
        m_client.recordTunnel(QString());
    }
    emitLog(line.logText);
}

void DaemonSession::handleFatal(const QString &text)
{
    const bool tunnel = isTunnelFailure(text) || isTunnelFailure(m_lastError);
    m_failureStatus = tunnel ? "TUN_SETUP_FAILED" : "FATAL";
    m_failureMessage = text.toStdString();
    emitEvent(m_failureStatus, m_failureMessage, true, true);
}

void DaemonSession::daemonFinished(int exitCode, bool crashed)
{
    if (m_daemonEnded)
        return;
    // The daemon's last words (EXITING, a fatal error) may still be in the socket.
    while (m_socket && m_socket->waitForReadyRead(50))
        readManagement();
    readManagement();
    if (!m_managementOpen) {
        for (const QString &line : std::as_const(m_earlyOutput)) {
            if (!line.trimmed().isEmpty())
                emitLog(line.trimmed());
        }
    }
    m_daemonEnded = true;
    m_exitCode = exitCode;
    m_crashed = crashed && !m_stopping;
    m_stopTimer.stop();
    m_managementTimer.stop();
    m_client.recordTunnel(QString());
    moveTo(Phase::Disconnected);
    m_loop.quit();
}

// The helper's word on the tunnel's DNS settings, as an event: "DNS_APPLIED", or
// "DNS_NOT_APPLIED" with the reason (an error, not a fatal one: the tunnel stays up).
void DaemonSession::dnsReported(bool applied, const QString &reason)
{
    if (applied)
        emitEvent("DNS_APPLIED", std::string(), false, false);
    else
        emitEvent("DNS_NOT_APPLIED", reason.toStdString(), true, false);
}

void DaemonSession::launchFailed(const QString &status, const QString &message)
{
    emitLog(message);
    if (m_daemonStarted) {
        // The daemon ran: its end follows, and this is why it ended.
        if (m_failureStatus.empty()) {
            m_failureStatus = status.toStdString();
            m_failureMessage = message.toStdString();
        }
        return;
    }
    if (m_daemonEnded)
        return;
    // Nothing ran: the connection ends with this as its status.
    m_daemonEnded = true;
    m_startStatus = status;
    m_startError = message;
    m_stopTimer.stop();
    m_loop.quit();
}

void DaemonSession::requestStop()
{
    if (m_daemonEnded || m_stopping)
        return;
    m_stopping = true;
    if (m_socket)
        send("signal SIGTERM");
    else
        m_launcher->terminate();
    m_stopStage = 0;
    m_stopTimer.start(StopGraceMs);
}

void DaemonSession::escalateStop()
{
    if (m_daemonEnded)
        return;
    if (m_stopStage == 0) {
        emitLog(QStringLiteral("openvpn did not end after the stop request; terminating it"));
        m_launcher->terminate();
        m_stopStage = 1;
        m_stopTimer.start(TerminateGraceMs);
    } else {
        emitLog(QStringLiteral("openvpn did not end; killing it"));
        m_launcher->kill();
    }
}

void DaemonSession::moveTo(Phase phase, const std::string &info)
{
    if (m_phase == Phase::Disconnected)
        return;
    m_phase = phase;
    switch (phase) {
    case Phase::Starting:
        break;
    case Phase::Connecting:
        emitEvent("CONNECTING", info, false, false);
        break;
    case Phase::Connected:
        emitEvent("CONNECTED", info, false, false);
        break;
    case Phase::Reconnecting:
        emitEvent("RECONNECTING", info, false, false);
        break;
    case Phase::Disconnected:
        // Ends every connect() whose daemon ran; one that could not start ends with its
        // error status alone (OvpnClient::connect() adds the event after a stop request).
        if (m_daemonStarted) {
            m_disconnectReported = true;
            emitEvent("DISCONNECTED", info, false, false);
        }
        break;
    }
}

void DaemonSession::emitEvent(const std::string &name, const std::string &info, bool error, bool fatal)
{
    Event event;
    event.name = name;
    event.info = info;
    event.error = error;
    event.fatal = fatal;
    m_client.event(event);
}

void DaemonSession::emitLog(const QString &text)
{
    LogInfo info;
    info.text = text.toStdString();
    m_client.log(info);
}

void DaemonSession::send(const QByteArray &command)
{
    if (!m_socket)
        return;
    m_socket->write(command + '\n');
    m_socket->flush();
}

void DaemonSession::sendCredential(const char *type, const std::string &username, const std::string &password)
{
    // Credentials from the profile itself have not passed provide_creds().
    for (const std::string *value : {&username, &password}) {
        if (const char *problem = OvpnClient::credentialProblem(*value)) {
            m_failureStatus = "CREDS_ERROR";
            m_failureMessage = problem;
            emitEvent("CREDS_ERROR", m_failureMessage, true, true);
            requestStop();
            return;
        }
    }
    const QByteArray quotedType = managementQuote(type);
    m_credentialReplies = 2;
    QByteArray command = "username " + quotedType + ' ' + managementQuote(username);
    send(command);
    command = "password " + quotedType + ' ' + managementQuote(password);
    send(command);
    // The command held the password; do not leave it in freed memory longer than needed.
    command.fill('\0');
}

void DaemonSession::removePrivateFiles()
{
    if (m_directory.isEmpty())
        return;
    QFile::remove(m_profilePath);
    QFile::remove(m_socketPath);
    QDir().rmdir(m_directory);
    m_directory.clear();
}

Status DaemonSession::result() const
{
    Status status;
    if (!m_startError.isEmpty()) {
        status.error = true;
        status.status = m_startStatus.toStdString();
        status.message = m_startError.toStdString();
    } else if (!m_failureStatus.empty()) {
        status.error = true;
        status.status = m_failureStatus;
        status.message = m_failureMessage;
    } else if (m_crashed) {
        status.error = true;
        status.status = "DAEMON_CRASHED";
        status.message = "openvpn ended abnormally";
    } else if (m_exitCode != 0 && !m_stopping) {
        status.error = true;
        status.status = "DAEMON_EXIT";
        status.message = "openvpn exited with code " + std::to_string(m_exitCode);
        if (!m_lastError.isEmpty())
            status.message += ": " + m_lastError.toStdString();
    }
    return status;
}

} // namespace ovpn
