#pragma once

#include <QObject>

// The sign-in session: credentials, API key, renewal.
class Auth : public QObject
{
    Q_OBJECT

public:
    explicit Auth(QObject *parent = nullptr);
};
