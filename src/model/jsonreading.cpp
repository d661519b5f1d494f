#include "model/jsonreading.h"

namespace JsonReading {

int toInt(const QJsonObject &json, const char *key)
{
    return json.value(QLatin1String(key)).toInt(0);
}

QString toString(const QJsonObject &json, const char *key)
{
    return json.value(QLatin1String(key)).toString();
}

bool toFlag(const QJsonObject &json, const char *key)
{
    return toInt(json, key) == 1;
}

} // namespace JsonReading
