#pragma once

#include <QHash>
#include <QObject>
#include <QString>
#include <QTimer>

#include <sys/types.h>

#include "accesspolicy.h"
#include "helpersettings.h"

class QSocketNotifier;

// The helper's listening socket: made at the configured path, or taken over from the
// service manager (socket activation), and every connection on it handed to a
// HelperConnection with the peer's credentials. It bounds how many connections a user,
// and all users together, may hold.
//
// The socket is plain (not QLocalServer): QLocalServer removes the socket file whenever
// it stops listening, also one the service manager owns and keeps listening on, and it
// stops listening for good when accept() fails once (too many open files).
class HelperServer : public QObject
{
    Q_OBJECT

public:
    explicit HelperServer(const HelperSettings &settings, QObject *parent = nullptr);
    ~HelperServer() override;

    // Prepares the runtime directory and listens; false with *error set when it cannot.
    bool start(QString *error);

    static constexpr int MaxConnectionsPerUser = 8;
    static constexpr int MaxConnections = 128;

private:
    bool takeActivatedSocket(bool *activated, QString *error);
    bool listenOnPath(QString *error);
    void acceptConnections();
    void connectionEnded(uid_t uid);

    const HelperSettings m_settings;
    const AccessPolicy m_policy;
    QString m_sessionsRoot;
    int m_listenFd = -1;
    bool m_ownsSocketFile = false;
    dev_t m_socketDevice = 0;
    ino_t m_socketInode = 0;
    QSocketNotifier *m_notifier = nullptr;  // owned by this
    QTimer m_resumeTimer;
    QHash<uid_t, int> m_connections;
    int m_connectionCount = 0;
};
