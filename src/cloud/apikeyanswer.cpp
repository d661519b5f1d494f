#include "cloud/apikeyanswer.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>

ApiKeyAnswer ApiKeyAnswer::parse(const QByteArray &body, qint64 nowSeconds)
{
    ApiKeyAnswer answer;
    const QJsonDocument document = QJsonDocument::fromJson(body);
    if (!document.isObject() || !document.object().contains(QLatin1String("authentication")))
        return answer;
    const QJsonObject authentication = document.object().value(QLatin1String("authentication")).toObject();
    answer.apiKey = authentication.value(QLatin1String("api_key")).toString();
    // 64 bits: expiries past 2038 and values in milliseconds are still numbers, not
    // refusals. A fraction, text or a value beyond 64 bits reads as 0 and is refused.
    answer.expire = authentication.value(QLatin1String("expire")).toInteger(0);
    answer.type = authentication.value(QLatin1String("type")).toInt(0);
    answer.accepted = nowSeconds < answer.expire;
    return answer;
}
