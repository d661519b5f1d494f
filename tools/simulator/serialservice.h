#pragma once

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QString>

class QTcpServer;
class QTcpSocket;

// The serial interfaces of one simulated device: a TCP service per port, as the
// device's remote-access answer names them, that behaves like a line-oriented device
// behind a serial line. "AT" answers "OK", "ATI" and "ID?" answer who is speaking,
// anything else comes back as it was sent; every answer ends with "\r\n".
class SerialService : public QObject
{
    Q_OBJECT

public:
    SerialService(int deviceId, const QString &deviceName, QObject *parent = nullptr);

    void setDeviceName(const QString &name);

    // sourceType -1: the port serves every interface without a port of its own.
    // Returns false (see errorString()) when the port cannot be listened on.
    bool listen(const QHostAddress &address, quint16 port, int sourceType);
    QString errorString() const;

    // The answer to one received line, without the line end; empty for no answer.
    static QByteArray answer(const QByteArray &line, int deviceId, const QString &deviceName, int sourceType);

private slots:
    void onNewConnection();
    void onReadyRead();

private:
    int m_deviceId;
    QString m_deviceName;
    QHash<QTcpServer *, int> m_sourceTypes;
    QHash<QTcpSocket *, QByteArray> m_pending;
    QString m_error;
};
