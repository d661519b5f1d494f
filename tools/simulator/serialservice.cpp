#include "serialservice.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QTextStream>

namespace {

// A peer that never ends its line must not make the buffer grow without bound.
const qsizetype MaxLineLength = 4096;

QByteArray interfaceName(int sourceType)
{
    switch (sourceType) {
    case 0:
        return "RS 232 A";
    case 1:
        return "RS 232 B";
    case 2:
        return "RS 485";
    case 3:
        return "USB";
    }
    return "serial";
}

} // namespace

SerialService::SerialService(int deviceId, const QString &deviceName, QObject *parent)
    : QObject(parent)
    , m_deviceId(deviceId)
    , m_deviceName(deviceName)
{
}

void SerialService::setDeviceName(const QString &name)
{
    m_deviceName = name;
}

bool SerialService::listen(const QHostAddress &address, quint16 port, int sourceType)
{
    auto *server = new QTcpServer(this);
    if (!server->listen(address, port)) {
        m_error = QStringLiteral("cannot listen on ") + address.toString() + QLatin1Char(':') + QString::number(port)
            + QStringLiteral(" (serial service): ") + server->errorString();
        delete server;
        return false;
    }
    m_sourceTypes.insert(server, sourceType);
    connect(server, &QTcpServer::pendingConnectionAvailable, this, &SerialService::onNewConnection);
    return true;
}

QString SerialService::errorString() const
{
    return m_error;
}

QByteArray SerialService::answer(const QByteArray &line, int deviceId, const QString &deviceName, int sourceType)
{
    const QByteArray command = line.trimmed().toUpper();
    if (command.isEmpty())
        return QByteArray();
    if (command == "AT")
        return "OK";
    if (command == "ATI" || command == "ID?")
        return deviceName.toUtf8() + " (device " + QByteArray::number(deviceId) + ", " + interfaceName(sourceType) + ')';
    return line;
}

void SerialService::onNewConnection()
{
    auto *server = qobject_cast<QTcpServer *>(sender());
    while (server && server->hasPendingConnections()) {
        QTcpSocket *socket = server->nextPendingConnection(); // a child of the server
        socket->setProperty("sourceType", m_sourceTypes.value(server, -1));
        m_pending.insert(socket, QByteArray());
        QTextStream(stderr) << "simulator: serial connection from " << socket->peerAddress().toString() << " on port "
                            << server->serverPort() << Qt::endl;
        connect(socket, &QTcpSocket::readyRead, this, &SerialService::onReadyRead);
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            m_pending.remove(socket);
            socket->deleteLater();
        });
    }
}

void SerialService::onReadyRead()
{
    auto *socket = qobject_cast<QTcpSocket *>(sender());
    if (!socket)
        return;
    QByteArray &buffer = m_pending[socket];
    buffer += socket->readAll();
    const int sourceType = socket->property("sourceType").toInt();
    for (;;) {
        qsizetype end = -1;
        for (qsizetype i = 0; i < buffer.size(); ++i) {
            if (buffer.at(i) == '\r' || buffer.at(i) == '\n') {
                end = i;
                break;
            }
        }
        if (end < 0) {
            if (buffer.size() > MaxLineLength) {
                socket->write(buffer + "\r\n");
                buffer.clear();
            }
            return;
        }
        const QByteArray line = buffer.left(end);
        // "\r\n" is one line end, not an empty line after the first.
        qsizetype next = end + 1;
        if (buffer.at(end) == '\r' && next < buffer.size() && buffer.at(next) == '\n')
            ++next;
        buffer.remove(0, next);
        const QByteArray reply = answer(line, m_deviceId, m_deviceName, sourceType);
        if (!reply.isEmpty())
            socket->write(reply + "\r\n");
    }
}
