#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>

#include "helperprotocol.h"
#include "peercredentials.h"

class AccessPolicy;
class HelperSession;
class QLocalSocket;

// One client's connection, from its request to its close: reads the one request,
// decides whether the peer may use the helper, answers "check", or runs a HelperSession
// for "start" and passes its events on. When the client goes away, the session's daemon
// is ended. Deletes itself (deleteLater) once the connection is closed and any daemon
// it started has ended.
class HelperConnection : public QObject
{
    Q_OBJECT

public:
    // Takes the socket over; the policy must outlive the connection.
    HelperConnection(QLocalSocket *socket, const PeerCredentials &peer, const AccessPolicy &policy,
                     const QString &sessionsRoot, QObject *parent = nullptr);
    ~HelperConnection() override;

    const PeerCredentials &peer() const;

private:
    enum class Phase {
        Reading,   // waiting for the request line
        Running,   // a session runs for the client
        Draining,  // the client has gone; the session is ending its daemon
        Closing,   // the last event is written; waiting for the socket to close
        Done,
    };

    void moveTo(Phase phase);
    void readRequest();
    void handleRequest(const QByteArray &line);
    void startSession(const HelperProtocol::Request &request);
    void finish(const QByteArray &line);
    void refuse(const QString &reason);
    void send(const QByteArray &line);
    void clientClosed();
    void sessionEnded();
    void log(const QString &text) const;

    QLocalSocket *m_socket;  // owned by this
    const PeerCredentials m_peer;
    const AccessPolicy &m_policy;
    const QString m_sessionsRoot;
    Phase m_phase = Phase::Reading;
    HelperProtocol::Action m_action = HelperProtocol::Action::Unknown;
    QByteArray m_buffer;
    QTimer m_timer;
    HelperSession *m_session = nullptr;  // owned by this
    qint64 m_droppedOutput = 0;
};
