#pragma once

#include <QObject>
#include <QString>

// The cloud service's endpoints. Every call is fire-and-forget: it sends one
// HttpRequest and the outcome arrives on the call's signal pair with the HTTP status
// (-1 without an answer) and the answer text; nothing is parsed here.
class Api : public QObject
{
    Q_OBJECT

public:
    explicit Api(QObject *parent = nullptr);

public slots:
    void getApiKey(QString username, QString password);
    void getNewApiKey(QString api_key);
    void getDomains(QString api_key);
    void getVpnDomainConfig(QString api_key, int domain_id);

signals:
    void onGetApiKeySuccess(int status, QString data);
    void onGetApiKeyError(int status, QString data);
    void onGetNewApiKeySuccess(int status, QString data);
    void onGetNewApiKeyError(int status, QString data);
    void onGetDomainsSuccess(int status, QString data);
    void onGetDomainsError(int status, QString data);
    void onGetVpnDomainConfigSuccess(int status, QString data);
    void onGetVpnDomainConfigError(int status, QString data);

private slots:
    void getApiKeySuccess(int status, QString data);
    void getApiKeyError(int status, QString data);
    void getNewApiKeySuccess(int status, QString data);
    void getNewApiKeyError(int status, QString data);
    void getDomainsSuccess(int status, QString data);
    void getDomainsError(int status, QString data);
    void getVpnDomainConfigSuccess(int status, QString data);
    void getVpnDomainConfigError(int status, QString data);
};
