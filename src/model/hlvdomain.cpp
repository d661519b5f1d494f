#include "model/hlvdomain.h"

#include <QJsonArray>

#include "model/hlvdevice.h"
#include "model/idmatcher.h"
#include "model/jsonreading.h"

namespace {

const char IdKey[] = "id";
const char NameKey[] = "name";
const char VpnEnableKey[] = "vpn_enable";
const char DevicesKey[] = "devices";
// Devices of this type are not for this client.
const int HiddenDeviceType = 2;

} // namespace

HlvDomain::HlvDomain(QObject *parent)
    : QObject(parent)
{
}

HlvDomain *HlvDomain::fromJson(QJsonObject json)
{
    using namespace JsonReading;
    auto *domain = new HlvDomain(); // owned by the caller, with its devices
    domain->id = toInt(json, IdKey);
    domain->name = toString(json, NameKey);
    domain->vpnEnable = toFlag(json, VpnEnableKey);

    const QJsonArray devices = json.value(QLatin1String(DevicesKey)).toArray();
    for (const QJsonValue &element : devices) {
        HlvDevice *device = HlvDevice::fromJson(element.toObject());
        if (device->type == HiddenDeviceType)
            delete device;
        else
            domain->devices.append(device);
    }
    return domain;
}

QJsonObject HlvDomain::toJson() const
{
    QJsonArray deviceArray;
    for (const HlvDevice *device : devices)
        deviceArray.append(device->toJson());
    return QJsonObject{
        {QLatin1String(IdKey), id},
        {QLatin1String(NameKey), name},
        {QLatin1String(VpnEnableKey), vpnEnable ? 1 : 0},
        {QLatin1String(DevicesKey), deviceArray},
    };
}

HlvDomain::Changes HlvDomain::updateDevices(QList<HlvDevice *> fresh)
{
    QList<int> freshIds;
    freshIds.reserve(fresh.size());
    for (const HlvDevice *device : std::as_const(fresh))
        freshIds.append(device->id);
    IdMatcher matcher(freshIds);

    Changes changes;
    QList<HlvDevice *> merged;
    merged.reserve(fresh.size());
    for (HlvDevice *held : std::as_const(devices)) {
        const qsizetype match = matcher.take(held->id);
        if (match < 0) {
            delete held;
            changes.members = true;
            continue;
        }
        if (held->copyValuesFrom(*fresh.at(match)))
            changes.values = true;
        delete fresh.at(match);
        merged.append(held);
    }
    for (qsizetype position = 0; position < fresh.size(); ++position) {
        if (!matcher.isTaken(position)) {
            merged.append(fresh.at(position));
            changes.members = true;
        }
    }
    devices = merged;
    return changes;
}

void HlvDomain::deleteDevices()
{
    while (!devices.isEmpty())
        delete devices.takeFirst();
}
