#include "model/hlvdomain.h"

#include <QJsonArray>

#include <algorithm>

#include "model/hlvdevice.h"
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

void HlvDomain::updateDevices(QList<HlvDevice *> fresh)
{
    for (auto held = devices.begin(); held != devices.end();) {
        auto match = std::find_if(fresh.begin(), fresh.end(),
                                  [id = (*held)->id](const HlvDevice *device) { return device->id == id; });
        if (match != fresh.end()) {
            (*held)->copyValuesFrom(**match);
            delete *match;
            fresh.erase(match);
            ++held;
        } else {
            delete *held;
            held = devices.erase(held);
        }
    }
    devices.append(fresh);
}

void HlvDomain::deleteDevices()
{
    while (!devices.isEmpty())
        delete devices.takeFirst();
}
