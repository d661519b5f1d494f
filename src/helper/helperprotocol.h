#pragma once

#include <QByteArray>
#include <QString>

#include <string>

// The helper's protocol (docs/helper.md): newline-delimited JSON, one object per line,
// UTF-8. A client sends exactly one request; the helper answers with events, each an
// object whose first member is "event".
namespace HelperProtocol {

constexpr int Version = 1;
// A request line, without its line feed.
constexpr qsizetype MaxLineBytes = 1024 * 1024;
// The profile of a start request, in UTF-8 bytes.
constexpr qsizetype MaxProfileBytes = 262144;

enum class Action {
    Unknown,  // the request could not be read far enough to say
    Check,
    Start,
};

struct Request
{
    Action action = Action::Unknown;
    std::string profile;
    QString management;
};

// Reads one request line. Only the members the action defines are accepted; on failure
// *error says what was wrong, and request->action is set when the action was readable.
bool parseRequest(const QByteArray &line, Request *request, QString *error);

// The action's name for the log.
QString actionName(Action action);

QByteArray accepted();
QByteArray refused(const QString &reason);
QByteArray output(const QString &text);
QByteArray started(qint64 pid);
QByteArray exited(int code, bool crashed);

} // namespace HelperProtocol
