#include "model/deviceindex.h"

#include "model/hlvdevice.h"
#include "model/hlvdomain.h"

HlvDevice *DeviceIndex::device(const QList<HlvDomain *> &domains, int id)
{
    return find(domains, id).device;
}

HlvDomain *DeviceIndex::domainOfDevice(const QList<HlvDomain *> &domains, int id)
{
    return find(domains, id).domain;
}

void DeviceIndex::invalidate()
{
    m_valid = false;
}

DeviceIndex::Entry DeviceIndex::find(const QList<HlvDomain *> &domains, int id)
{
    // Equal lists that still share their data compare in constant time.
    if (!m_valid || m_builtFor != domains) {
        m_entries.clear();
        for (HlvDomain *domain : domains) {
            for (HlvDevice *device : std::as_const(domain->devices)) {
                // A later device with the same id stays hidden behind the first.
                if (!m_entries.contains(device->id))
                    m_entries.insert(device->id, Entry{domain, device});
            }
        }
        m_builtFor = domains;
        m_valid = true;
    }
    return m_entries.value(id);
}
