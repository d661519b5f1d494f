#include "model/hlvdevice.h"

#include "model/jsonreading.h"

namespace {

const char IdKey[] = "id";
const char NameKey[] = "name";
const char TypeKey[] = "type";
const char DomainIdKey[] = "domain_id";
const char DataDeliveryEnableKey[] = "data_delivery_enable";
const char RemoteAccessEnableKey[] = "remote_access_enable";
const char VpnStatusKey[] = "vpn_status";
const char VpnIpKey[] = "vpn_ip";
const char ApiKeyKey[] = "api_key";

} // namespace

HlvDevice::HlvDevice(QObject *parent)
    : QObject(parent)
{
}

HlvDevice *HlvDevice::fromJson(QJsonObject json)
{
    using namespace JsonReading;
    auto *device = new HlvDevice(); // owned by the caller
    device->id = toInt(json, IdKey);
    device->name = toString(json, NameKey);
    device->type = toInt(json, TypeKey);
    device->domainId = toInt(json, DomainIdKey);
    device->dataDeliveryEnable = toFlag(json, DataDeliveryEnableKey);
    device->remoteAccessEnable = toFlag(json, RemoteAccessEnableKey);
    device->vpnStatus = toInt(json, VpnStatusKey);
    device->vpnIp = toString(json, VpnIpKey);
    device->apiKey = toString(json, ApiKeyKey);
    return device;
}

QJsonObject HlvDevice::toJson() const
{
    return QJsonObject{
        {QLatin1String(IdKey), id},
        {QLatin1String(NameKey), name},
        {QLatin1String(TypeKey), type},
        {QLatin1String(DomainIdKey), domainId},
        {QLatin1String(DataDeliveryEnableKey), dataDeliveryEnable ? 1 : 0},
        {QLatin1String(RemoteAccessEnableKey), remoteAccessEnable ? 1 : 0},
        {QLatin1String(VpnStatusKey), vpnStatus},
        {QLatin1String(VpnIpKey), vpnIp},
        {QLatin1String(ApiKeyKey), apiKey},
    };
}

bool HlvDevice::copyValuesFrom(const HlvDevice &other)
{
    const bool changed = name != other.name || type != other.type || domainId != other.domainId
        || dataDeliveryEnable != other.dataDeliveryEnable || remoteAccessEnable != other.remoteAccessEnable
        || vpnStatus != other.vpnStatus || vpnIp != other.vpnIp || apiKey != other.apiKey;
    name = other.name;
    type = other.type;
    domainId = other.domainId;
    dataDeliveryEnable = other.dataDeliveryEnable;
    remoteAccessEnable = other.remoteAccessEnable;
    vpnStatus = other.vpnStatus;
    vpnIp = other.vpnIp;
    apiKey = other.apiKey;
    return changed;
}
