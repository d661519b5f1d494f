#pragma once

#include <QMetaEnum>
#include <QString>

// The name of a value of an enum that Qt's meta-object system knows (Q_ENUM), for log
// lines: "FailedToStart" says what "0" does not. A value without a name shows as its
// number.
template <typename Enum>
QString enumName(Enum value)
{
    const char *key = QMetaEnum::fromType<Enum>().valueToKey(int(value));
    return key ? QString::fromLatin1(key) : QString::number(int(value));
}
