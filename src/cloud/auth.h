#pragma once

#include <QObject>
#include <QString>
#include <QtGlobal>

#include "cloud/apikeyanswer.h"

class Api;
class QTimer;

// The user's cloud session: credentials, the API key and its expiry, renewal shortly
// before expiry, sign-out. The key lives in memory only; the user name and password
// are kept in the settings store's group "auth".
class Auth : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString username READ getUsername NOTIFY usernameChanged)

public:
    explicit Auth(QObject *parent = nullptr);

    Api *api = nullptr;
    QString username;
    QString lastUsername;
    QString password;
    qint64 expire = 0;
    bool authenticated = false;
    int type = -1;
    QTimer *timer = nullptr;
    bool tryLogin = false;
    // Read by the bridge for its own cloud calls.
    QString apiKey;

    // The latest sign-in: made with the stored credentials at start-up (rather than by
    // login()), and refused by the cloud (rather than failed on the way).
    bool lastSignInWasAutomatic() const { return m_automaticSignIn; }
    bool lastSignInWasRefused() const { return m_signInRefused; }

signals:
    void onLoginSuccess();
    void onLoginError();
    void onLogout();
    void onGetApiKeySuccess();
    void usernameChanged();

public slots:
    void login(QString username, QString password);
    void logout();
    bool isAuthenticated();
    bool isTryLogin();

public:
    // Its owner has gone (a closed window's bridge): no more renewals, and answers
    // still on their way change nothing. The stored credentials stay.
    void quiesce();

private slots:
    QString getUsername();
    void getApiKeySuccess(int status, QString data);
    void getApiKeyError(int status, QString data);
    void checkApiKey();
    void getNewApiKeySuccess(int status, QString data);
    void getNewApiKeyError(int status, QString data);

private:
    static ApiKeyAnswer parseKeyAnswer(int status, const QString &data);

    void takeKey(const ApiKeyAnswer &answer);
    void dropKey();
    void signInFailed(bool refused);

    bool m_automaticSignIn = false;
    bool m_signInRefused = false;
};
