#pragma once

#include <QByteArray>
#include <QLocalServer>
#include <QLocalSocket>
#include <QObject>
#include <QProcess>
#include <QString>
#include <QTimer>

#include <string>

#include "peercredentials.h"
#include "sessiondirectory.h"

class ManagementRelay;

// One run of openvpn for a client, from the check of the client's management socket to
// the daemon's end. The helper connects to the client's socket first and accepts it
// only when the process listening there runs as the client's user: the checked path
// may have been swapped since, but a listening socket's owner cannot be faked. The
// daemon itself connects its management channel to a socket in the session's own
// directory (it never touches a path the client named), and the session relays that
// channel to the client unchanged.
class HelperSession : public QObject
{
    Q_OBJECT

public:
    HelperSession(const PeerCredentials &peer, const QString &sessionsRoot, QObject *parent = nullptr);
    ~HelperSession() override;

    // The profile has passed the filter already; the outcome comes as signals.
    void start(const std::string &profile, const QString &managementPath);
    // The client has gone: the daemon, if any, is ended.
    void stop();
    // The helper is ending: ends a running daemon before returning, without signals;
    // true (with its exit) when there was one.
    bool endNow(int *exitCode, bool *crashed);

    // The openvpn executable, from the system's own directories only.
    static QString daemonProgram();

signals:
    void refused(const QString &reason);  // nothing runs; ended() follows
    void started(qint64 pid);
    void output(const QString &line);     // one line the daemon printed
    void exited(int code, bool crashed);  // ended() follows
    void logged(const QString &text);     // for the helper's log
    void ended();                         // everything of the session is gone

private:
    enum class Phase {
        Idle,
        Connecting,  // connecting to the client's management socket
        Starting,    // the daemon runs; its management channel has not connected yet
        Relaying,    // the daemon's management channel is relayed to the client
        Stopping,    // the daemon has been asked to end
        Ended,
    };

    void moveTo(Phase phase);
    void refuse(const QString &reason);
    void clientManagementConnected();
    void clientManagementFailed();
    void startDaemon();
    void daemonStarted();
    void daemonError(QProcess::ProcessError error);
    void acceptDaemonManagement();
    void readDaemonOutput();
    void emitOutputLines(bool all);
    void stopDaemon(const QString &why);
    void escalateStop();
    void daemonFinished(int exitCode, QProcess::ExitStatus exitStatus);
    void passDaemonsLastWords();
    void releaseAll();

    const PeerCredentials m_peer;
    const QString m_sessionsRoot;
    Phase m_phase = Phase::Idle;
    QString m_managementPath;
    std::string m_profile;
    SessionDirectory m_directory;
    QLocalSocket m_clientManagement;
    QLocalServer m_server;
    QLocalSocket *m_daemonManagement = nullptr;  // owned by m_server
    ManagementRelay *m_relay = nullptr;          // owned by this
    QProcess m_process;
    QByteArray m_outputBuffer;
    QTimer m_connectTimer;
    QTimer m_managementTimer;
    QTimer m_stopTimer;
};
