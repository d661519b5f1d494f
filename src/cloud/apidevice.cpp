#include "cloud/apidevice.h"

#include <QDebug>

#include "cloud/httprequest.h"

ApiDevice::ApiDevice(QObject *parent)
    : QObject(parent)
{
}

void ApiDevice::getRemoteAccess(QString ip, QString api_key, int src_type)
{
    auto *request = new HttpRequest(); // deletes itself when its reply has finished
    connect(request, &HttpRequest::success, this, &ApiDevice::getRemoteAccessSuccess);
    connect(request, &HttpRequest::error, this, &ApiDevice::getRemoteAccessError);
    request->abortOnSslErrors = true;
    // The key goes into the query as it is: devices issue plain hex keys.
    request->get(QStringLiteral("https://") + ip + QStringLiteral("/api/v1/") + QStringLiteral("remote/access/")
                 + QString::number(src_type) + QStringLiteral("?api_key=") + api_key);
}

void ApiDevice::getRemoteAccessSuccess(int status, QString data)
{
    QMessageLogger().debug() << data;
    emit onGetRemoteAccessSuccess(status, data);
}

void ApiDevice::getRemoteAccessError(int status, QString data)
{
    emit onGetRemoteAccessError(status, data);
}
