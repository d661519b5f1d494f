#include "requestmask.h"

#include <QList>

namespace RequestMask {

bool isSecretHeader(const QByteArray &name)
{
    const QByteArray lower = name.toLower();
    return lower == "authorization" || lower == "proxy-authorization" || lower == "cookie" || lower == "x-access-token";
}

bool isSecretParameter(const QByteArray &name)
{
    const QByteArray lower = QByteArray::fromPercentEncoding(QByteArray(name).replace('+', ' ')).toLower();
    static const char *const Words[] = {"key", "token", "pass", "pwd", "secret", "session", "sig", "auth", "cred"};
    for (const char *word : Words) {
        if (lower.contains(word))
            return true;
    }
    return false;
}

QByteArray maskQuery(const QByteArray &query, const Mask &mask)
{
    QList<QByteArray> parts = query.split('&');
    for (QByteArray &part : parts) {
        const qsizetype equals = part.indexOf('=');
        const QByteArray name = equals < 0 ? part : part.left(equals);
        if (isSecretParameter(name))
            part = name + '=' + mask(equals < 0 ? QByteArray() : part.mid(equals + 1));
    }
    return parts.join('&');
}

} // namespace RequestMask
