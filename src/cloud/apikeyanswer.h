#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

// The body of the cloud's API key answer (sign-in and renewal), read without any
// state so that it can be exercised on its own with hostile input.
class ApiKeyAnswer
{
public:
    // Accepted only when the body is a JSON object with a member "authentication"
    // whose "expire" (seconds since the Unix epoch) lies after nowSeconds. "expire"
    // and "type" read as 0 when missing or not an integral number.
    static ApiKeyAnswer parse(const QByteArray &body, qint64 nowSeconds);

    bool accepted = false;
    QString apiKey;
    qint64 expire = 0;
    int type = 0;
};
