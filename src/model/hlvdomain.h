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
    // What a merge changed: the values of records it kept, or which records there are
    // (some dropped or added). Callers keep what they derive from a list until it changes.
    struct Changes
    {
        bool values = false;
        bool members = false;
        bool any() const { return values || members; }
    };

    explicit HlvDomain(QObject *parent = nullptr);

    // A new domain without parent, with its devices; devices of type 2 are dropped.
    static HlvDomain *fromJson(QJsonObject json);
    QJsonObject toJson() const;

    // Merges a fresh list into the held one: held objects keep their identity and take
    // the fresh values, devices no longer reported are deleted, new ones appended. The
    // fresh objects are either taken over or deleted. Of duplicate ids, held and fresh
    // records pair in order.
    Changes updateDevices(QList<HlvDevice *> fresh);
    void deleteDevices();

    int id = -1;
    QString name;
    bool vpnEnable = false;
    QList<HlvDevice *> devices;
};
