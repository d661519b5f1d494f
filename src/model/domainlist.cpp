#include "model/domainlist.h"

#include <QJsonDocument>
#include <QJsonObject>

#include "model/hlvdevice.h"
#include "model/hlvdomain.h"
#include "model/hlvsettings.h"
#include "model/idmatcher.h"

DomainList::~DomainList()
{
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

    QList<HlvDomain *> fresh;
    for (const QJsonValue &value : document.object().value(QLatin1String("domains")).toArray())
        fresh.append(HlvDomain::fromJson(value.toObject()));
    merge(fresh);
    m_mergedReply = data;
    m_mergedReplyFor = m_domains;
    return true;
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
        HlvDomain *update = fresh.at(match);
        bool changed = held->name != update->name || held->vpnEnable != update->vpnEnable;
        held->name = update->name;
        held->vpnEnable = update->vpnEnable;
        const HlvDomain::Changes deviceChanges = held->updateDevices(update->devices);
        // The held domain took over or deleted the fresh devices; only the fresh
        // domain object itself is left.
        update->devices.clear();
        delete update;
        changed = changed || deviceChanges.any();
        changes.values = changes.values || changed;
        changes.members = changes.members || deviceChanges.members;
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

void DomainList::store()
{
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
