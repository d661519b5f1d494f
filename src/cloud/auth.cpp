#include "cloud/auth.h"

#include "base/logfile.h"

#include <QDateTime>
#include <QTimer>

#include "cloud/api.h"
#include "model/hlvsettings.h"

namespace {

const int CheckIntervalMs = 30000;
// Renewal starts this many seconds before the key expires.
const int RenewalMarginSeconds = 30;

qint64 nowSeconds()
{
    return QDateTime::currentSecsSinceEpoch();
}

} // namespace

Auth::Auth(QObject *parent)
    : QObject(parent)
{
    api = new Api(this);
    connect(api, &Api::onGetApiKeyError, this, &Auth::getApiKeyError);
    connect(api, &Api::onGetApiKeySuccess, this, &Auth::getApiKeySuccess);
    connect(api, &Api::onGetNewApiKeyError, this, &Auth::getNewApiKeyError);
    connect(api, &Api::onGetNewApiKeySuccess, this, &Auth::getNewApiKeySuccess);

    {
        HlvSettings settings;
        username = settings.username();
        password = settings.password();
        lastUsername = settings.lastUsername();
    }
    emit usernameChanged();

    timer = new QTimer(this);
    connect(timer, &QTimer::timeout, this, &Auth::checkApiKey);

    if (!username.isEmpty() && !password.isEmpty()) {
        tryLogin = true;
        m_automaticSignIn = true;
        LogFile::addSecret(password);
        api->getApiKey(username, password);
    }
}

void Auth::login(QString username, QString password)
{
    tryLogin = true;
    m_automaticSignIn = false;
    LogFile::addSecret(password);
    this->username = username;
    this->password = password;
    api->getApiKey(username, password);
    emit usernameChanged();
}

void Auth::logout()
{
    tryLogin = false;
    authenticated = false;
    username.clear();
    password.clear();
    apiKey.clear();
    type = -1;
    expire = 0;
    if (timer->isActive())
        timer->stop();
    {
        HlvSettings().setCredentials(QString(), QString());
    }
    emit usernameChanged();
    emit onLogout();
}

bool Auth::isAuthenticated()
{
    return authenticated;
}

bool Auth::isTryLogin()
{
    return tryLogin;
}

QString Auth::getUsername()
{
    return username;
}

ApiKeyAnswer Auth::parseKeyAnswer(int status, const QString &data)
{
    // Only exactly 200 carries a key; other 2xx answers are refusals.
    if (status != 200)
        return ApiKeyAnswer();
    return ApiKeyAnswer::parse(data.toUtf8(), nowSeconds());
}

void Auth::takeKey(const ApiKeyAnswer &answer)
{
    LogFile::addSecret(answer.apiKey);
    apiKey = answer.apiKey;
    type = answer.type;
    expire = answer.expire;
    authenticated = true;
    if (!timer->isActive())
        timer->start(CheckIntervalMs);
}

void Auth::dropKey()
{
    authenticated = false;
    apiKey.clear();
    if (timer->isActive())
        timer->stop();
}

void Auth::signInFailed(bool refused)
{
    m_signInRefused = refused;
    dropKey();
    if (tryLogin)
        emit onLoginError();
    tryLogin = false;
}

void Auth::getApiKeySuccess(int status, QString data)
{
    const ApiKeyAnswer answer = parseKeyAnswer(status, data);
    if (!answer.accepted) {
        signInFailed(true);
        return;
    }
    takeKey(answer);

    // Slots of onLoginSuccess() open their own settings objects; they share this
    // one's cache, so they already see the reset of the previous user's entries.
    HlvSettings settings;
    if (tryLogin) {
        if (lastUsername != username) {
            settings.clearVirtualSerialPorts();
            settings.clearDomains();
            settings.clearLastDomainIdOpened();
            settings.clearFavouriteAndRecentDevices();
        }
        emit onLoginSuccess();
    }
    lastUsername = username;
    tryLogin = false;
    emit onGetApiKeySuccess();

    settings.setCredentials(username, password);
    settings.setLastUsername(lastUsername);
}

void Auth::getApiKeyError(int status, QString data)
{
    Q_UNUSED(data)
    // An answer of the cloud's saying no, rather than none at all.
    signInFailed(status >= 400 && status < 500);
}

void Auth::quiesce()
{
    timer->stop();
    disconnect(timer, nullptr, this, nullptr);
    disconnect(api, nullptr, this, nullptr);
}

void Auth::checkApiKey()
{
    if (nowSeconds() < expire - RenewalMarginSeconds)
        return;
    timer->stop();
    api->getNewApiKey(apiKey);
}

void Auth::getNewApiKeySuccess(int status, QString data)
{
    const ApiKeyAnswer answer = parseKeyAnswer(status, data);
    if (answer.accepted)
        takeKey(answer);
    else
        dropKey();
}

void Auth::getNewApiKeyError(int status, QString data)
{
    Q_UNUSED(status)
    Q_UNUSED(data)
    dropKey();
}
