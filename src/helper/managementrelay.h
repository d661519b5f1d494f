#pragma once

#include <QObject>

class QLocalSocket;

// Copies bytes unchanged both ways between the daemon's management connection and the
// client's management socket. A side that does not read holds up the other side's
// reading instead of letting the helper buffer without bound. closed() once either
// side has gone (what the other side sent before is passed on first).
class ManagementRelay : public QObject
{
    Q_OBJECT

public:
    // Neither socket is owned; both must outlive the relay.
    ManagementRelay(QLocalSocket *daemon, QLocalSocket *client, QObject *parent = nullptr);

signals:
    void closed();

private:
    void pump(QLocalSocket *from, QLocalSocket *to);
    void sideClosed();

    QLocalSocket *m_daemon;
    QLocalSocket *m_client;
    bool m_closed = false;
};
