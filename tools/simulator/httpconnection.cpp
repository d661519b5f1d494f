#include "httpconnection.h"

#include <QTcpSocket>
#include <QTimer>

namespace {

const int MaxHeadSize = 64 * 1024;
const qint64 MaxBodySize = 4 * 1024 * 1024;
// A client that neither finishes its request nor goes away is dropped.
const int IdleTimeoutMs = 60000;

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200: return "OK";
    case 201: return "Created";
    case 204: return "No Content";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 413: return "Payload Too Large";
    case 500: return "Internal Server Error";
    case 502: return "Bad Gateway";
    case 503: return "Service Unavailable";
    }
    return "Status";
}

} // namespace

QByteArray SimRequest::header(const QByteArray &name) const
{
    for (const auto &[key, value] : headers) {
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return value;
    }
    return {};
}

bool SimRequest::hasHeader(const QByteArray &name) const
{
    for (const auto &header : headers) {
        if (header.first.compare(name, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

HttpConnection::HttpConnection(QTcpSocket *socket, QObject *parent)
    : QObject(parent)
    , m_socket(socket)
{
    m_socket->setParent(this);
    connect(m_socket, &QTcpSocket::readyRead, this, &HttpConnection::onReadyRead);
    connect(m_socket, &QTcpSocket::disconnected, this, &QObject::deleteLater);
    m_idle = new QTimer(this);
    m_idle->setSingleShot(true);
    connect(m_idle, &QTimer::timeout, this, &QObject::deleteLater);
    m_idle->start(IdleTimeoutMs);
    onReadyRead();
}

void HttpConnection::onReadyRead()
{
    if (m_answered)
        return;
    m_buffer += m_socket->readAll();

    if (m_bodyLength < 0) {
        const qsizetype end = m_buffer.indexOf("\r\n\r\n");
        if (end < 0) {
            if (m_buffer.size() > MaxHeadSize)
                fail(400, "request head too large");
            return;
        }
        if (!parseHead(m_buffer.left(end)))
            return;
        m_buffer.remove(0, end + 4);
    }
    if (m_buffer.size() < m_bodyLength)
        return;
    m_request.body = m_buffer.left(m_bodyLength);
    m_answered = true;
    // From here on the answer's timing is the simulator's (a fault may hold it back).
    m_idle->stop();
    emit requestReceived(this, m_request);
}

bool HttpConnection::parseHead(const QByteArray &head)
{
    const QList<QByteArray> lines = head.split('\n');
    const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
    if (requestLine.size() != 3 || !requestLine.at(2).startsWith("HTTP/1.")) {
        fail(400, "malformed request line");
        return false;
    }
    m_request.method = requestLine.at(0);
    m_request.target = requestLine.at(1);
    m_request.version = requestLine.at(2);
    const qsizetype question = m_request.target.indexOf('?');
    m_request.path = question < 0 ? m_request.target : m_request.target.left(question);
    m_request.query = question < 0 ? QByteArray() : m_request.target.mid(question + 1);

    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines.at(i).trimmed();
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0) {
            fail(400, "malformed header line");
            return false;
        }
        m_request.headers.append({line.left(colon), line.mid(colon + 1).trimmed()});
    }
    if (m_request.hasHeader("Transfer-Encoding")) {
        fail(400, "chunked requests are not supported");
        return false;
    }
    bool ok = true;
    const QByteArray length = m_request.header("Content-Length");
    m_bodyLength = length.isEmpty() ? 0 : length.toLongLong(&ok);
    if (!ok || m_bodyLength < 0) {
        fail(400, "bad Content-Length");
        return false;
    }
    if (m_bodyLength > MaxBodySize) {
        fail(413, "request body too large");
        return false;
    }
    return true;
}

void HttpConnection::fail(int status, const QByteArray &message)
{
    m_answered = true;
    SimResponse response;
    response.status = status;
    response.contentType = "text/plain";
    response.body = message + '\n';
    respond(response);
}

void HttpConnection::respond(const SimResponse &response)
{
    if (m_socket->state() != QAbstractSocket::ConnectedState) {
        deleteLater();
        return;
    }
    if (!response.drop) {
        // 204 carries neither a body nor a length.
        const bool noBody = response.status == 204 || response.status == 304 || response.status < 200;
        QByteArray head = "HTTP/1.1 " + QByteArray::number(response.status) + ' ' + reasonPhrase(response.status) + "\r\n";
        if (!noBody) {
            head += "Content-Type: " + response.contentType + "\r\n";
            head += "Content-Length: " + QByteArray::number(response.body.size()) + "\r\n";
        }
        for (const auto &[name, value] : response.headers)
            head += name + ": " + value + "\r\n";
        head += "Connection: close\r\n\r\n";
        m_socket->write(head);
        if (!noBody) {
            m_socket->write(response.truncateTo >= 0 ? response.body.left(response.truncateTo) : response.body);
        }
    }
    m_socket->disconnectFromHost();
    if (m_socket->state() == QAbstractSocket::UnconnectedState)
        deleteLater();
}
