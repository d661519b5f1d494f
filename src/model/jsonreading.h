#pragma once

#include <QJsonObject>
#include <QString>

// The reading rules shared by the cloud's records: what is missing or of the wrong
// kind reads as 0, "" or false. Flags are the number 1; the JSON value true is not.
namespace JsonReading {

int toInt(const QJsonObject &json, const char *key);
QString toString(const QJsonObject &json, const char *key);
bool toFlag(const QJsonObject &json, const char *key);

} // namespace JsonReading
