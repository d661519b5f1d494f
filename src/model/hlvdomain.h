#pragma once

#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QString>

class HlvDevice;

// A group of devices that share one VPN. The domain owns its devices, but its
// destructor leaves them alive: whoever drops a domain for good calls deleteDevices()
// first.
class HlvDomain : public QObject
{
    Q_OBJECT

public:
    explicit HlvDomain(QObject *parent = nullptr);

    // A new domain without parent, with its devices; devices of type 2 are dropped.
    static HlvDomain *fromJson(QJsonObject json);
    QJsonObject toJson() const;

    // Merges a fresh list into the held one: held objects keep their identity and take
    // the fresh values, devices no longer reported are deleted, new ones appended. The
    // fresh objects are either taken over or deleted.
    void updateDevices(QList<HlvDevice *> fresh);
    void deleteDevices();

    int id = -1;
    QString name;
    bool vpnEnable = false;
    QList<HlvDevice *> devices;
};
