#include "cloud/api.h"

#include "cloud/cloudconfig.h"
#include "cloud/httprequest.h"

namespace {

const char ApiPath[] = "/api/v2/";
const char AccessTokenHeader[] = "x-access-token";

QString cloudUrl(const QString &path)
{
    return CloudConfig::baseUrl() + QLatin1String(ApiPath) + path;
}

} // namespace

Api::Api(QObject *parent)
    : QObject(parent)
{
}

void Api::getApiKey(QString username, QString password)
{
    auto *request = new HttpRequest(); // deletes itself when its reply has finished
    request->setBasicAuthorization(username, password);
    connect(request, &HttpRequest::success, this, &Api::getApiKeySuccess);
    connect(request, &HttpRequest::error, this, &Api::getApiKeyError);
    request->get(cloudUrl(QStringLiteral("api_key")));
}

void Api::getNewApiKey(QString api_key)
{
    auto *request = new HttpRequest(); // deletes itself when its reply has finished
    request->setRawHeader(QByteArray(AccessTokenHeader), api_key.toLatin1());
    connect(request, &HttpRequest::success, this, &Api::getNewApiKeySuccess);
    connect(request, &HttpRequest::error, this, &Api::getNewApiKeyError);
    request->get(cloudUrl(QStringLiteral("api_key")));
}

void Api::getDomains(QString api_key)
{
    auto *request = new HttpRequest(); // deletes itself when its reply has finished
    request->setRawHeader(QByteArray(AccessTokenHeader), api_key.toLatin1());
    connect(request, &HttpRequest::success, this, &Api::getDomainsSuccess);
    connect(request, &HttpRequest::error, this, &Api::getDomainsError);
    request->get(cloudUrl(QStringLiteral("domain")));
}

void Api::getVpnDomainConfig(QString api_key, int domain_id)
{
    auto *request = new HttpRequest(); // deletes itself when its reply has finished
    request->setRawHeader(QByteArray(AccessTokenHeader), api_key.toLatin1());
    connect(request, &HttpRequest::success, this, &Api::getVpnDomainConfigSuccess);
    connect(request, &HttpRequest::error, this, &Api::getVpnDomainConfigError);
    request->get(cloudUrl(QStringLiteral("vpn/domain/") + QString::number(domain_id)));
}

void Api::getApiKeySuccess(int status, QString data)
{
    emit onGetApiKeySuccess(status, data);
}

void Api::getApiKeyError(int status, QString data)
{
    emit onGetApiKeyError(status, data);
}

void Api::getNewApiKeySuccess(int status, QString data)
{
    emit onGetNewApiKeySuccess(status, data);
}

void Api::getNewApiKeyError(int status, QString data)
{
    emit onGetNewApiKeyError(status, data);
}

void Api::getDomainsSuccess(int status, QString data)
{
    emit onGetDomainsSuccess(status, data);
}

void Api::getDomainsError(int status, QString data)
{
    emit onGetDomainsError(status, data);
}

void Api::getVpnDomainConfigSuccess(int status, QString data)
{
    emit onGetVpnDomainConfigSuccess(status, data);
}

void Api::getVpnDomainConfigError(int status, QString data)
{
    emit onGetVpnDomainConfigError(status, data);
}
