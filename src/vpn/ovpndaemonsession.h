#pragma once

#include <QByteArray>
#include <QEventLoop>
#include <QLocalServer>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <memory>
#include <string>

#include "vpn/daemonlauncher.h"
#include "vpn/ovpntypes.h"

class QLocalSocket;

namespace ovpn {

class OvpnClient;
struct ManagementLine;

// Everything one connection needs besides the client's callbacks; filled by
// eval_config() and provide_creds(). The destructor overwrites the secrets.
struct SessionSettings
{
    ~SessionSettings();

    bool evaluated = false;
    std::string profile;          // the daemon's profile text
    QStringList daemonOptions;    // options after --config
    bool reportInfo = false;
    std::string username;
    std::string password;
    std::string proxyUsername;
    std::string proxyPassword;
};

// One run of the openvpn daemon, from its start to its end, on the thread that
// called OvpnClient::connect(). It owns the private directory with the management
// socket, the launcher that starts the daemon (itself or through the root helper) and
// the management conversation, and turns the daemon's notifications into the client's
// events.
class DaemonSession : public QObject
{
    Q_OBJECT

public:
    DaemonSession(OvpnClient &client, const SessionSettings &settings);
    ~DaemonSession() override;

    // Runs until the daemon has ended; the result says how it ended.
    Status run();
    // Whether run() announced "DISCONNECTED".
    bool disconnectReported() const;

public slots:
    // Queued here from other threads by OvpnClient.
    void requestStop();

private:
    // The connection as the application sees it; moveTo() is the one place that
    // changes it and announces the change as an event.
    enum class Phase {
        Starting,      // daemon launched, management channel not yet held
        Connecting,    // an attempt is under way
        Connected,
        Reconnecting,
        Disconnected,  // the daemon reported its exit or has ended
    };

    void moveTo(Phase phase, const std::string &info = std::string());
    void emitEvent(const std::string &name, const std::string &info, bool error, bool fatal);
    void emitLog(const QString &text);

    static void removeStaleDirectories();
    bool preparePrivateDirectory();
    void startDaemon();
    void daemonStarted();
    void acceptManagement();
    void readManagement();
    void managementOpened();
    void daemonOutput(const QString &line);
    void handleLine(const QString &text);
    void handleHold();
    void handleState(const ManagementLine &line);
    void handlePassword(const ManagementLine &line);
    void handleLog(const ManagementLine &line);
    void handleFatal(const QString &text);
    void daemonFinished(int exitCode, bool crashed);
    void launchFailed(const QString &status, const QString &message);
    void dnsReported(bool applied, const QString &reason);
    void escalateStop();
    void send(const QByteArray &command);
    void sendCredential(const char *type, const std::string &username, const std::string &password);
    void removePrivateFiles();
    Status result() const;

    OvpnClient &m_client;
    const SessionSettings &m_settings;
    QEventLoop m_loop;
    std::unique_ptr<DaemonLauncher> m_launcher;
    QLocalServer m_server;
    QLocalSocket *m_socket = nullptr;  // owned by m_server
    QTimer m_stopTimer;
    QTimer m_managementTimer;

    Phase m_phase = Phase::Starting;
    QString m_directory;
    QString m_profilePath;
    QString m_socketPath;
    bool m_daemonStarted = false;
    bool m_daemonEnded = false;
    bool m_managementOpen = false;  // the daemon has spoken on the management channel
    bool m_stopping = false;
    bool m_disconnectReported = false;
    int m_stopStage = 0;
    bool m_inLogHistory = false;
    int m_credentialReplies = 0;  // answers still due to the last credentials sent
    int m_exitCode = 0;
    bool m_crashed = false;
    QString m_startStatus;
    QString m_startError;
    QStringList m_earlyOutput;
    std::string m_failureStatus;   // "AUTH_FAILED", "TUN_SETUP_FAILED", ...
    std::string m_failureMessage;
    QString m_lastError;           // last error line of the daemon's log
    std::string m_remote;
    std::string m_localAddress;
    QString m_tunnel;
};

} // namespace ovpn
