#pragma once

#include <QHash>
#include <QList>

class HlvDevice;
class HlvDomain;

// The devices of a domain list by id, so that a lookup does not walk
// thousands of devices. Built on first use from the list as it stands, and again when
// the list asked about is not the one it was built for (a list changed in place
// detaches from the copy kept here) or after invalidate(): devices come and go only
// through the merge, which says so.
class DeviceIndex
{
public:
    // The first device with that id in list order, as a walk over the list finds it.
    HlvDevice *device(const QList<HlvDomain *> &domains, int id);
    HlvDomain *domainOfDevice(const QList<HlvDomain *> &domains, int id);
    void invalidate();

private:
    struct Entry
    {
        HlvDomain *domain = nullptr;
        HlvDevice *device = nullptr;
    };

    Entry find(const QList<HlvDomain *> &domains, int id);

    QList<HlvDomain *> m_builtFor;
    QHash<int, Entry> m_entries;
    bool m_valid = false;
};
