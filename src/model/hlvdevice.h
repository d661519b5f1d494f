#pragma once

#include <QJsonObject>
#include <QObject>
#include <QString>

// One remote unit as the cloud reports it. The bridge's domain list owns the object;
// virtual serial ports point at it, so a refresh changes its values in place.
class HlvDevice : public QObject
{
    Q_OBJECT

public:
    explicit HlvDevice(QObject *parent = nullptr);

    // A new device without parent; malformed members read as 0, "" or false.
    static HlvDevice *fromJson(QJsonObject json);
    QJsonObject toJson() const;

    // Takes every member but the id from another record of the same device; true when
    // any of them differed.
    bool copyValuesFrom(const HlvDevice &other);

    int id = -1;
    QString name;
    int type = 6;
    int domainId = -1;
    bool dataDeliveryEnable = false;
    bool remoteAccessEnable = false;
    // 1 means online, reachable through the domain's VPN.
    int vpnStatus = 0;
    QString vpnIp;
    // The device's own key, sent to the device with the remote-access request.
    QString apiKey;
};
