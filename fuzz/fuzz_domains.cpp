// The domain list from the cloud: HlvDomain and HlvDevice read from JSON the way the
// bridge reads the list answer, and the model's merge of a fresh list of devices into
// the held one (the bridge's own merge of domains is a member of the bridge, which needs
// a whole session; its per-domain work is this one). The input is two answers split at
// the first NUL byte, which JSON text cannot hold (without one, the answer is merged
// into itself). Besides the sanitizers' findings (leaks and freed devices included):
//  - a record written back and read again is the same record;
//  - after the merge the held domain holds exactly the fresh devices' values, with no
//    object but the held and the fresh ones.

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QSet>
#include <QStringList>

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "fuzzsupport.h"
#include "model/hlvdevice.h"
#include "model/hlvdomain.h"

namespace {

// As the bridge takes the answer to the domain list request.
QList<HlvDomain *> parse(const QByteArray &answer)
{
    QList<HlvDomain *> domains;
    const QJsonDocument document = QJsonDocument::fromJson(answer);
    if (!document.isObject() || !document.object().contains(QLatin1String("domains")))
        return domains;
    for (const QJsonValue &value : document.object().value(QLatin1String("domains")).toArray())
        domains.append(HlvDomain::fromJson(value.toObject()));
    return domains;
}

void deleteAll(QList<HlvDomain *> &domains)
{
    for (HlvDomain *domain : domains) {
        domain->deleteDevices();
        delete domain;
    }
    domains.clear();
}

QByteArray compact(const QJsonObject &json)
{
    return QJsonDocument(json).toJson(QJsonDocument::Compact);
}

// The devices' values in a comparable order.
QList<QByteArray> sortedRecords(const QList<HlvDevice *> &devices)
{
    QList<QByteArray> records;
    for (const HlvDevice *device : devices)
        records.append(compact(device->toJson()));
    std::sort(records.begin(), records.end());
    return records;
}

void checkRoundTrip(const HlvDomain &domain)
{
    const QJsonObject json = domain.toJson();
    HlvDomain *again = HlvDomain::fromJson(json);
    const QByteArray first = compact(json);
    const QByteArray second = compact(again->toJson());
    again->deleteDevices();
    delete again;
    FuzzSupport::require(first == second, "a domain written back reads the same", first.left(200).toStdString());
}

void merge(HlvDomain &held, HlvDomain &fresh)
{
    const QList<QByteArray> expected = sortedRecords(fresh.devices);
    QSet<const HlvDevice *> known;
    for (const HlvDevice *device : held.devices)
        known.insert(device);
    for (const HlvDevice *device : fresh.devices)
        known.insert(device);

    held.updateDevices(fresh.devices);
    // The held domain took over or deleted every fresh device.
    fresh.devices.clear();

    FuzzSupport::require(sortedRecords(held.devices) == expected, "the merged devices are the fresh ones");
    for (const HlvDevice *device : held.devices)
        FuzzSupport::require(known.contains(device), "the merge makes no device of its own");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray input = FuzzSupport::bytes(data, size);
    const qsizetype split = input.indexOf('\0');
    QList<HlvDomain *> held = parse(split < 0 ? input : input.left(split));
    QList<HlvDomain *> fresh = parse(split < 0 ? input : input.mid(split + 1));

    for (const HlvDomain *domain : held)
        checkRoundTrip(*domain);
    for (HlvDomain *domain : held) {
        const auto match = std::find_if(fresh.begin(), fresh.end(),
                                        [domain](const HlvDomain *candidate) { return candidate->id == domain->id; });
        if (match != fresh.end())
            merge(*domain, **match);
    }

    deleteAll(held);
    deleteAll(fresh);
    return 0;
}
