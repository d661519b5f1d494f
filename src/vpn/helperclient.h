#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QLocalSocket>
#include <QString>

#include <string>

namespace ovpn {

// Our side of corrivo2-helper's protocol (docs/helper.md): a unix stream socket,
// newline-delimited JSON, one request per connection, answered with events.
class HelperClient
{
public:
    // $CORRIVO_HELPER_SOCKET when set, else the helper's installed socket.
    static QString socketPath();

    static QByteArray checkRequest();
    static QByteArray startRequest(const std::string &profile, const QString &managementSocket);
    // One answer line as an object; an empty object when the line is not one.
    static QJsonObject parseEvent(const QByteArray &line);

    // Why the helper at path could not be reached, in words for the user.
    static QString unreachable(QLocalSocket::LocalSocketError error, const QString &errorString,
                               const QString &path);

    struct Answer
    {
        bool accepted = false;
        QString problem;  // why not, when not accepted
    };
    // Asks the helper whether it serves this user; blocks for at most timeoutMs.
    static Answer check(int timeoutMs);
};

} // namespace ovpn
