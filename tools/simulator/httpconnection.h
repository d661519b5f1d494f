#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPair>

class QTcpSocket;
class QTimer;

// One request as it came over the wire, header names in their original case and order.
struct SimRequest
{
    QByteArray method;
    QByteArray target;
    QByteArray path;
    QByteArray query;
    QByteArray version;
    QList<QPair<QByteArray, QByteArray>> headers;
    QByteArray body;

    // The first header of that name, compared without case; empty when absent.
    QByteArray header(const QByteArray &name) const;
    bool hasHeader(const QByteArray &name) const;
};

// How to answer: the body is sent with its full length announced; truncateTo >= 0
// sends only that many bytes of it and closes, and drop closes without any answer.
struct SimResponse
{
    int status = 200;
    QByteArray contentType = QByteArrayLiteral("application/json");
    QByteArray body;
    QList<QPair<QByteArray, QByteArray>> headers;
    qint64 truncateTo = -1;
    bool drop = false;
};

// A minimal HTTP/1.1 server side for one connection: reads one request, hands it on,
// writes one answer and closes ("Connection: close"), which is all the clients need.
// Owns its socket and deletes itself when the connection is gone.
class HttpConnection : public QObject
{
    Q_OBJECT

public:
    HttpConnection(QTcpSocket *socket, QObject *parent = nullptr);

    void respond(const SimResponse &response);

signals:
    void requestReceived(HttpConnection *connection, const SimRequest &request);

private slots:
    void onReadyRead();

private:
    bool parseHead(const QByteArray &head);
    void fail(int status, const QByteArray &message);

    QTcpSocket *m_socket;
    QTimer *m_idle = nullptr;
    QByteArray m_buffer;
    SimRequest m_request;
    qint64 m_bodyLength = -1;
    bool m_answered = false;
};
