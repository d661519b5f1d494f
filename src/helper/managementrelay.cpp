#include "managementrelay.h"

#include <QLocalSocket>

namespace {

// What one side may have waiting to be written before the other is no longer read.
constexpr qint64 MaxPendingBytes = 256 * 1024;
constexpr qint64 ChunkBytes = 64 * 1024;

} // namespace

ManagementRelay::ManagementRelay(QLocalSocket *daemon, QLocalSocket *client, QObject *parent)
    : QObject(parent)
    , m_daemon(daemon)
    , m_client(client)
{
    for (QLocalSocket *socket : {m_daemon, m_client}) {
        QLocalSocket *other = socket == m_daemon ? m_client : m_daemon;
        socket->setReadBufferSize(ChunkBytes);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket, other] { pump(socket, other); });
        connect(other, &QLocalSocket::bytesWritten, this, [this, socket, other] { pump(socket, other); });
        connect(socket, &QLocalSocket::disconnected, this, &ManagementRelay::sideClosed);
    }
    // Whatever either side sent, or a side that closed, before the relay existed; once
    // the owner has connected to closed().
    QMetaObject::invokeMethod(
        this,
        [this] {
            pump(m_daemon, m_client);
            pump(m_client, m_daemon);
            if (m_daemon->state() != QLocalSocket::ConnectedState || m_client->state() != QLocalSocket::ConnectedState)
                sideClosed();
        },
        Qt::QueuedConnection);
}

void ManagementRelay::pump(QLocalSocket *from, QLocalSocket *to)
{
    while (from->bytesAvailable() > 0 && to->state() == QLocalSocket::ConnectedState) {
        const qint64 room = MaxPendingBytes - to->bytesToWrite();
        if (room <= 0)
            return;
        const QByteArray chunk = from->read(qMin(room, ChunkBytes));
        if (chunk.isEmpty())
            return;
        to->write(chunk);
    }
}

void ManagementRelay::sideClosed()
{
    if (m_closed)
        return;
    m_closed = true;
    pump(m_daemon, m_client);
    pump(m_client, m_daemon);
    m_daemon->flush();
    m_client->flush();
    emit closed();
}
