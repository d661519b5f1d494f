#pragma once

#include <QHash>
#include <QJsonArray>
#include <QList>
#include <QString>
#include <QVariant>

#include <memory>

#include "model/deviceindex.h"
#include "model/hlvdomain.h"

class HlvDevice;

// The signed-in user's domains with their devices, as the cloud last listed them (or
// as the settings kept them from an earlier run). The list owns the domain objects and
// each domain its devices; a merge keeps the objects of domains and devices that
// survive, so that whoever holds a device (a virtual serial port) keeps it across
// reloads. Those who only read the list get it const: lookups, never a merge.
class DomainList
{
public:
    DomainList();
    ~DomainList();

    DomainList(const DomainList &) = delete;
    DomainList &operator=(const DomainList &) = delete;

    const QList<HlvDomain *> &domains() const { return m_domains; }

    // The first device with that id in list order, and the domain that holds it.
    HlvDevice *device(int id) const;
    HlvDomain *domainOfDevice(int id) const;

    // Replaces the held list with the one the settings keep ("domains").
    void loadStored();
    // Merges the cloud's answer to the domain list request. False, with the list as it
    // was, when the text is not an object with "domains".
    bool mergeReply(const QString &data);
    // Merges a fresh list, keeping the objects (and order) of domains and devices that
    // survive; takes ownership of `fresh`.
    void merge(QList<HlvDomain *> fresh);

    // The JSON form of the list, the page's and the stored one.
    QJsonArray toJson() const;
    // {"revision": r, "domains": [...]} as compact JSON text: the domains (in list
    // order) that changed after the list of the given revision, all of them for -1.
    QString changedSince(int revision) const;
    // Writes the list to the settings unless the stored entry holds it already.
    void store();
    // The same, written by a thread of its own so that a reload does not wait for the
    // encryption of the whole settings file: the list as it is now is handed over, and
    // a burst of changes is one write of the last list. A store() waits for it first.
    void storeInBackground();
    // Returns once no background write is queued or running.
    void waitForStored() const;

private:
    void deleteAll();
    bool mergeChangedDomains(const QJsonArray &fresh);
    static bool takeValues(HlvDomain *held, HlvDomain *update, HlvDomain::Changes &changes);
    // Gives the domains a new revision, for changedSince().
    void markChanged(const QList<HlvDomain *> &changed) const;

    QList<HlvDomain *> m_domains;

    // What is derived from the list lives until a merge changes it; records change
    // nowhere else. Each part remembers the list it was made for, so that a list
    // replaced or changed in place (which detaches it from the copy) is derived afresh.
    mutable DeviceIndex m_deviceIndex;
    // Index for index the domains' toJson(); a merge rebuilds only the changed ones.
    mutable QJsonArray m_json;
    mutable QList<HlvDomain *> m_jsonFor;
    // The revision of the list, raised by every change, and of each domain (by id):
    // the one of the change that last touched it.
    mutable int m_revision = 0;
    mutable QHash<int, int> m_domainRevisions;
    // changedSince(-1) of that revision (-1: none yet).
    mutable QString m_allText;
    mutable int m_allTextRevision = -1;
    // The last reply merged: the cloud mostly answers the same text 30 s later.
    QString m_mergedReply;
    QList<HlvDomain *> m_mergedReplyFor;
    // Its "domains", domain for domain, to tell which of them the next answer changes.
    QJsonArray m_mergedDomains;
    // What was last written as "domains", while the list has not changed since.
    QVariant m_stored;
    QList<HlvDomain *> m_storedFor;
    // The revision the background writer was last handed, and for which list.
    int m_handedRevision = -1;
    QList<HlvDomain *> m_handedFor;
    struct Writer;
    std::unique_ptr<Writer> m_writer;
};
