#include "helperprotocol.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>

namespace HelperProtocol {

namespace {

QByteArray quoted(const QString &text)
{
    const QByteArray array = QJsonDocument(QJsonArray{text}).toJson(QJsonDocument::Compact);
    return array.mid(1, array.size() - 2);
}

// Members are written in a fixed order, "event" first, so that a client may even read
// the lines with a simple prefix match.
QByteArray eventLine(const char *event, const QByteArray &members = QByteArray())
{
    QByteArray line = QByteArrayLiteral("{\"event\":\"") + event + '"';
    if (!members.isEmpty())
        line += ',' + members;
    return line + "}\n";
}

} // namespace

bool parseRequest(const QByteArray &line, Request *request, QString *error)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(line, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        *error = QStringLiteral("the request is not valid JSON: ") + parseError.errorString();
        return false;
    }
    if (!document.isObject()) {
        *error = QStringLiteral("the request is not a JSON object");
        return false;
    }
    const QJsonObject object = document.object();

    const QJsonValue action = object.value(QLatin1String("action"));
    if (action == QLatin1String("check"))
        request->action = Action::Check;
    else if (action == QLatin1String("start"))
        request->action = Action::Start;

    // The version first: a newer client's new action is a version mismatch to it.
    const QJsonValue version = object.value(QLatin1String("version"));
    if (!version.isDouble() || version.toDouble() != Version) {
        *error = QStringLiteral("unsupported protocol version (this helper speaks version %1)").arg(Version);
        return false;
    }
    if (request->action == Action::Unknown) {
        *error = QStringLiteral("unknown action (expected \"check\" or \"start\")");
        return false;
    }

    QSet<QString> members{QStringLiteral("version"), QStringLiteral("action")};
    if (request->action == Action::Start)
        members += {QStringLiteral("profile"), QStringLiteral("management")};
    for (auto it = object.begin(); it != object.end(); ++it) {
        if (!members.contains(it.key())) {
            // The name is the client's: quoted back, but not at any length.
            const QString name = it.key().size() > 64 ? it.key().left(64) + QStringLiteral("...") : it.key();
            *error = QStringLiteral("unknown member \"%1\" in the request").arg(name);
            return false;
        }
    }
    if (request->action == Action::Check)
        return true;

    const QJsonValue profile = object.value(QLatin1String("profile"));
    const QJsonValue management = object.value(QLatin1String("management"));
    if (!profile.isString() || !management.isString()) {
        *error = QStringLiteral("a start request needs \"profile\" and \"management\" as strings");
        return false;
    }
    const QByteArray profileBytes = profile.toString().toUtf8();
    if (profileBytes.size() > MaxProfileBytes) {
        *error = QStringLiteral("the profile is too large (%1 bytes; at most %2)")
                     .arg(profileBytes.size())
                     .arg(MaxProfileBytes);
        return false;
    }
    request->profile = profileBytes.toStdString();
    request->management = management.toString();
    return true;
}

QString actionName(Action action)
{
    switch (action) {
    case Action::Unknown:
        return QStringLiteral("request");
    case Action::Check:
        return QStringLiteral("check");
    case Action::Start:
        return QStringLiteral("start");
    }
    return QString();
}

QByteArray accepted()
{
    return eventLine("accepted");
}

QByteArray refused(const QString &reason)
{
    return eventLine("refused", "\"reason\":" + quoted(reason));
}

QByteArray output(const QString &text)
{
    return eventLine("output", "\"text\":" + quoted(text));
}

QByteArray started(qint64 pid)
{
    return eventLine("started", "\"pid\":" + QByteArray::number(pid));
}

QByteArray exited(int code, bool crashed)
{
    return eventLine("exited", "\"code\":" + QByteArray::number(code) + ",\"crashed\":"
                                   + (crashed ? QByteArrayLiteral("true") : QByteArrayLiteral("false")));
}

} // namespace HelperProtocol
