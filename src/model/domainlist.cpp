#include "model/domainlist.h"

#include "base/logging.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QMutex>
#include <QMutexLocker>
#include <QThreadPool>

#include "model/hlvdevice.h"
#include "model/hlvdomain.h"
#include "model/hlvsettings.h"
#include "model/idmatcher.h"
#include "model/jsonreading.h"

// One thread that writes the last list it was handed; writes never overlap, and the
// list is taken when the write starts, not when it was asked for.
struct DomainList::Writer
{
    Writer() { pool.setMaxThreadCount(1); }
    ~Writer() { pool.waitForDone(); }

    void hand(const QJsonArray &list)
    {
        {
            QMutexLocker lock(&mutex);
            latest = list;
            if (queued)
                return;
            queued = true;
        }
        pool.start([this] { write(); });
    }

    void write()
    {
        QJsonArray list;
        {
            QMutexLocker lock(&mutex);
            list = latest;
            latest = QJsonArray();
            queued = false;
        }
        HlvSettings settings;
        settings.setDomainsJson(list);
        settings.sync();
        if (settings.status() != QSettings::NoError)
            logMessage(1, "DomainList::storeInBackground", QStringLiteral("Cannot write the domain list to the settings"));
    }

    QThreadPool pool;
    QMutex mutex;
    QJsonArray latest;
    bool queued = false;
};

DomainList::DomainList() = default;

DomainList::~DomainList()
{
    waitForStored();
    deleteAll();
}

void DomainList::deleteAll()
{
    for (HlvDomain *domain : std::as_const(m_domains)) {
        domain->deleteDevices();
        delete domain;
    }
    m_domains.clear();
    m_deviceIndex.invalidate();
    // What was derived from the old records goes with them: new records may be given
    // the addresses of the old ones, and the lists would then compare equal.
    m_jsonFor.clear();
    m_mergedReply = QString();
    m_mergedReplyFor.clear();
    m_mergedDomains = QJsonArray();
    m_storedFor.clear();
    m_stored = QVariant();
    m_handedFor.clear();
}

HlvDevice *DomainList::device(int id) const
{
    return m_deviceIndex.device(m_domains, id);
}

HlvDomain *DomainList::domainOfDevice(int id) const
{
    return m_deviceIndex.domainOfDevice(m_domains, id);
}

void DomainList::loadStored()
{
    waitForStored();
    deleteAll();
    HlvSettings settings;
    m_domains = settings.getDomains();
}

bool DomainList::mergeReply(const QString &data)
{
    // An answer equal to the one merged last, onto the list that merge left, changes
    // nothing: with thousands of devices that is most reloads, so they skip the parse.
    if (data == m_mergedReply && m_mergedReplyFor == m_domains)
        return true;

    const QJsonDocument document = QJsonDocument::fromJson(data.toUtf8());
    if (!document.isObject() || !document.object().contains(QLatin1String("domains")))
        return false;

    const QJsonArray freshJson = document.object().value(QLatin1String("domains")).toArray();
    if (!mergeChangedDomains(freshJson)) {
        QList<HlvDomain *> fresh;
        fresh.reserve(freshJson.size());
        for (const QJsonValue &value : freshJson)
            fresh.append(HlvDomain::fromJson(value.toObject()));
        merge(fresh);
    }
    m_mergedReply = data;
    m_mergedReplyFor = m_domains;
    m_mergedDomains = freshJson;
    return true;
}

// The answer names the same domains in the same order as the one merged last, onto the
// list that merge left: only the domains whose text changed are read into records. A
// domain's records came from its text, and nothing else writes them, so an unchanged
// text would merge into no change at all. False, with nothing done, when the answer is
// not of that kind (domains added, dropped, moved, or ids the list holds twice).
bool DomainList::mergeChangedDomains(const QJsonArray &fresh)
{
    using JsonReading::toInt;
    if (m_mergedReply.isNull() || m_mergedReplyFor != m_domains || m_mergedDomains.size() != fresh.size()
        || m_domains.size() != fresh.size())
        return false;

    QHash<int, qsizetype> heldPosition;
    heldPosition.reserve(m_domains.size());
    for (qsizetype position = 0; position < m_domains.size(); ++position)
        heldPosition.insert(m_domains.at(position)->id, position);
    if (heldPosition.size() != m_domains.size())
        return false;

    QList<qsizetype> changedPositions;
    for (qsizetype position = 0; position < fresh.size(); ++position) {
        const QJsonObject now = fresh.at(position).toObject();
        const QJsonObject before = m_mergedDomains.at(position).toObject();
        const int id = toInt(now, "id");
        if (id != toInt(before, "id") || !heldPosition.contains(id))
            return false;
        if (now != before)
            changedPositions.append(position);
    }
    if (changedPositions.isEmpty())
        return true;

    // Every domain in the list is in the answer, once: none is dropped or added here.
    toJson();
    HlvDomain::Changes changes;
    QList<HlvDomain *> changedDomains;
    // All records are read before any is merged, as a whole merge does: a record
    // deleted by the merge cannot lend its address to a new one.
    QList<HlvDomain *> updates;
    updates.reserve(changedPositions.size());
    for (qsizetype position : std::as_const(changedPositions))
        updates.append(HlvDomain::fromJson(fresh.at(position).toObject()));
    for (HlvDomain *update : std::as_const(updates)) {
        const qsizetype heldAt = heldPosition.value(update->id);
        HlvDomain *held = m_domains.at(heldAt);
        if (takeValues(held, update, changes)) {
            m_json.replace(heldAt, held->toJson());
            changedDomains.append(held);
        }
    }
    if (changes.members)
        m_deviceIndex.invalidate();
    if (changes.any()) {
        m_jsonFor = m_domains;
        m_stored = QVariant();
        markChanged(changedDomains);
    }
    return true;
}

// The held domain takes the values and devices of `update`, which is deleted; true when
// anything changed.
bool DomainList::takeValues(HlvDomain *held, HlvDomain *update, HlvDomain::Changes &changes)
{
    bool changed = held->name != update->name || held->vpnEnable != update->vpnEnable;
    held->name = update->name;
    held->vpnEnable = update->vpnEnable;
    const HlvDomain::Changes deviceChanges = held->updateDevices(update->devices);
    // The held domain took over or deleted the fresh devices; only the fresh domain
    // object itself is left.
    update->devices.clear();
    delete update;
    changed = changed || deviceChanges.any();
    changes.values = changes.values || changed;
    changes.members = changes.members || deviceChanges.members;
    return changed;
}

void DomainList::merge(QList<HlvDomain *> fresh)
{
    // The JSON of a domain that did not change is taken over from the last merge.
    const QJsonArray heldJson = toJson();
    QList<int> freshIds;
    freshIds.reserve(fresh.size());
    for (const HlvDomain *domain : std::as_const(fresh))
        freshIds.append(domain->id);
    IdMatcher matcher(freshIds);

    HlvDomain::Changes changes;
    QList<HlvDomain *> merged;
    merged.reserve(fresh.size());
    QJsonArray mergedJson;
    QList<HlvDomain *> changedDomains;
    for (qsizetype position = 0; position < m_domains.size(); ++position) {
        HlvDomain *held = m_domains.at(position);
        const qsizetype match = matcher.take(held->id);
        if (match < 0) {
            m_domainRevisions.remove(held->id);
            held->deleteDevices();
            delete held;
            changes.members = true;
            continue;
        }
        const bool changed = takeValues(held, fresh.at(match), changes);
        merged.append(held);
        mergedJson.append(changed ? QJsonValue(held->toJson()) : heldJson.at(position));
        if (changed)
            changedDomains.append(held);
    }
    for (qsizetype position = 0; position < fresh.size(); ++position) {
        if (!matcher.isTaken(position)) {
            merged.append(fresh.at(position));
            mergedJson.append(fresh.at(position)->toJson());
            changedDomains.append(fresh.at(position));
            changes.members = true;
        }
    }

    // Without a change the merged lists equal the held ones; keeping those keeps the
    // derived parts' checks of the list they were made for at constant cost.
    if (changes.members) {
        m_domains = merged;
        m_deviceIndex.invalidate();
    }
    if (changes.any()) {
        m_json = mergedJson;
        m_jsonFor = m_domains;
        m_stored = QVariant();
        markChanged(changedDomains);
    }
}

QJsonArray DomainList::toJson() const
{
    if (m_jsonFor != m_domains || m_json.size() != m_domains.size()) {
        m_json = QJsonArray();
        for (const HlvDomain *domain : std::as_const(m_domains))
            m_json.append(domain->toJson());
        m_jsonFor = m_domains;
        // A list that was not merged here may differ anywhere.
        markChanged(m_domains);
    }
    return m_json;
}

QString DomainList::changedSince(int revision) const
{
    const QJsonArray all = toJson();
    const bool everything = revision < 0;
    if (everything && m_allTextRevision == m_revision)
        return m_allText;

    QJsonArray changed;
    if (everything) {
        changed = all;
    } else {
        for (qsizetype position = 0; position < m_domains.size(); ++position) {
            if (m_domainRevisions.value(m_domains.at(position)->id) > revision)
                changed.append(all.at(position));
        }
    }
    const QJsonObject answer{
        {QLatin1String("revision"), m_revision},
        {QLatin1String("domains"), changed},
    };
    const QString text = QString::fromUtf8(QJsonDocument(answer).toJson(QJsonDocument::Compact));
    if (everything) {
        m_allText = text;
        m_allTextRevision = m_revision;
    }
    return text;
}

void DomainList::markChanged(const QList<HlvDomain *> &changed) const
{
    ++m_revision;
    for (const HlvDomain *domain : changed)
        m_domainRevisions.insert(domain->id, m_revision);
}

void DomainList::storeInBackground()
{
    const QJsonArray json = toJson();
    if (m_handedRevision == m_revision && m_handedFor == m_domains) {
        // Handed over already, unless the entry was emptied since (another user signed
        // in) and the list is not empty.
        if (m_domains.isEmpty() || !HlvSettings().domainsValue().toList().isEmpty())
            return;
    }
    if (!m_writer)
        m_writer = std::make_unique<Writer>();
    m_writer->hand(json);
    m_handedRevision = m_revision;
    m_handedFor = m_domains;
    m_stored = QVariant();
}

void DomainList::waitForStored() const
{
    if (m_writer)
        m_writer->pool.waitForDone();
}

void DomainList::store()
{
    waitForStored();
    HlvSettings settings;
    // Rewriting (and encrypting) the whole entry for a list it holds already would cost
    // more than the rest of a reload. The stored value is compared too: signing in as
    // another user empties it behind the bridge's back.
    if (m_stored.isValid() && m_storedFor == m_domains && settings.domainsValue() == m_stored)
        return;
    settings.setDomainsJson(toJson());
    m_stored = settings.domainsValue();
    m_storedFor = m_domains;
}
