#include "vpn/helperclient.h"

#include <QDeadlineTimer>
#include <QJsonDocument>
#include <QJsonParseError>

namespace ovpn {

namespace {

constexpr int ProtocolVersion = 1;
const char DefaultSocket[] = "/run/corrivo2/helper.sock";

QByteArray requestLine(QJsonObject request)
{
    request.insert(QStringLiteral("version"), ProtocolVersion);
    return QJsonDocument(request).toJson(QJsonDocument::Compact) + '\n';
}

} // namespace

QString HelperClient::socketPath()
{
    const QString configured = qEnvironmentVariable("CORRIVO_HELPER_SOCKET");
    return configured.isEmpty() ? QString::fromLatin1(DefaultSocket) : configured;
}

QByteArray HelperClient::checkRequest()
{
    return requestLine({{QStringLiteral("action"), QStringLiteral("check")}});
}

QByteArray HelperClient::startRequest(const std::string &profile, const QString &managementSocket)
{
    return requestLine({{QStringLiteral("action"), QStringLiteral("start")},
                        {QStringLiteral("profile"), QString::fromStdString(profile)},
                        {QStringLiteral("management"), managementSocket}});
}

QJsonObject HelperClient::parseEvent(const QByteArray &line)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(line, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return QJsonObject();
    return document.object();
}

QString HelperClient::unreachable(QLocalSocket::LocalSocketError error, const QString &errorString,
                                  const QString &path)
{
    switch (error) {
    case QLocalSocket::ServerNotFoundError:
    case QLocalSocket::ConnectionRefusedError:
        return QStringLiteral("the helper corrivo2-helper is not running (nothing listens on %1)").arg(path);
    case QLocalSocket::SocketAccessError:
        return QStringLiteral("the helper's socket %1 is not open to this user (%2)").arg(path, errorString);
    default:
        return QStringLiteral("cannot reach the helper corrivo2-helper at %1: %2").arg(path, errorString);
    }
}

HelperClient::Answer HelperClient::check(int timeoutMs)
{
    const QString path = socketPath();
    const QDeadlineTimer deadline(timeoutMs);
    QLocalSocket socket;
    socket.connectToServer(path);
    if (!socket.waitForConnected(int(deadline.remainingTime())))
        return {false, unreachable(socket.error(), socket.errorString(), path)};
    socket.write(checkRequest());
    while (!socket.canReadLine()) {
        if (socket.state() == QLocalSocket::ConnectedState && socket.waitForReadyRead(int(deadline.remainingTime())))
            continue;
        if (socket.canReadLine())
            break;
        if (socket.state() != QLocalSocket::ConnectedState)
            return {false, QStringLiteral("the helper corrivo2-helper closed the connection without an answer")};
        return {false, QStringLiteral("the helper corrivo2-helper did not answer within %1 s").arg(double(timeoutMs) / 1000.0)};
    }
    const QJsonObject event = parseEvent(socket.readLine());
    const QString name = event.value(QLatin1String("event")).toString();
    if (name == QLatin1String("accepted"))
        return {true, QString()};
    if (name == QLatin1String("refused"))
        return {false, event.value(QLatin1String("reason")).toString()};
    return {false, QStringLiteral("the helper corrivo2-helper gave an answer this version does not know")};
}

} // namespace ovpn
