#pragma once

#include <QObject>
#include <QString>

// A device's own remote-access endpoint, reached directly at its VPN address through
// the tunnel. Fire-and-forget like Api: the answer arrives on the signal pair.
class ApiDevice : public QObject
{
    Q_OBJECT

public:
    explicit ApiDevice(QObject *parent = nullptr);

public slots:
    void getRemoteAccess(QString ip, QString api_key, int src_type);

signals:
    void onGetRemoteAccessSuccess(int status, QString data);
    void onGetRemoteAccessError(int status, QString data);

private slots:
    void getRemoteAccessSuccess(int status, QString data);
    void getRemoteAccessError(int status, QString data);
};
