#include <QtTest>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>

#include "model/domainlist.h"
#include "model/hlvdevice.h"
#include "model/hlvdomain.h"
#include "model/hlvsettings.h"
#include "testhome.h"

namespace {

QJsonObject domainJson(int id, const QString &name, const QJsonArray &devices)
{
    return QJsonObject{{QStringLiteral("id"), id},
                       {QStringLiteral("name"), name},
                       {QStringLiteral("vpn_enable"), 1},
                       {QStringLiteral("devices"), devices}};
}

QJsonObject deviceJson(int id, int domainId, int vpnStatus)
{
    return QJsonObject{{QStringLiteral("id"), id},
                       {QStringLiteral("name"), QStringLiteral("d%1").arg(id)},
                       {QStringLiteral("type"), 1},
                       {QStringLiteral("domain_id"), domainId},
                       {QStringLiteral("vpn_status"), vpnStatus},
                       {QStringLiteral("vpn_ip"), QStringLiteral("10.8.0.%1").arg(id)},
                       {QStringLiteral("api_key"), QStringLiteral("devkey%1").arg(id)}};
}

// A domain list in short: "1:11,12!;2:" is domain 1 with device 11 online and 12
// offline, and domain 2 without devices. Names follow the ids, unless a domain's id
// carries a name after "=" ("1=North:11").
QJsonArray world(const QString &text)
{
    QJsonArray domains;
    for (const QString &domainText : text.split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
        const QString head = domainText.section(QLatin1Char(':'), 0, 0);
        const int id = head.section(QLatin1Char('='), 0, 0).toInt();
        const QString name = head.contains(QLatin1Char('=')) ? head.section(QLatin1Char('='), 1) : QStringLiteral("D%1").arg(id);
        QJsonArray devices;
        for (QString deviceText : domainText.section(QLatin1Char(':'), 1).split(QLatin1Char(','), Qt::SkipEmptyParts)) {
            const bool offline = deviceText.endsWith(QLatin1Char('!'));
            deviceText.remove(QLatin1Char('!'));
            devices.append(deviceJson(deviceText.toInt(), id, offline ? 0 : 1));
        }
        domains.append(domainJson(id, name, devices));
    }
    return domains;
}

// The cloud's answer to the domain list request.
QString reply(const QString &text)
{
    return QString::fromUtf8(QJsonDocument(QJsonObject{{QStringLiteral("domains"), world(text)}}).toJson());
}

// The list in the same short form, with "=" after each object that was in `before`
// and "+" after each new one.
QString describe(const QList<HlvDomain *> &domains, const QList<QObject *> &before)
{
    QStringList parts;
    for (const HlvDomain *domain : domains) {
        QStringList devices;
        for (const HlvDevice *device : domain->devices) {
            devices << QString::number(device->id) + (device->vpnStatus == 1 ? QString() : QStringLiteral("!"))
                           + (before.contains(device) ? QLatin1Char('=') : QLatin1Char('+'));
        }
        parts << QString::number(domain->id) + (before.contains(domain) ? QLatin1Char('=') : QLatin1Char('+'))
                     + QLatin1Char(':') + devices.join(QLatin1Char(','));
    }
    return parts.join(QLatin1Char(';'));
}

QList<QObject *> objectsOf(const QList<HlvDomain *> &domains)
{
    QList<QObject *> objects;
    for (HlvDomain *domain : domains) {
        objects << domain;
        for (HlvDevice *device : domain->devices)
            objects << device;
    }
    return objects;
}

QJsonArray storedDomains()
{
    HlvSettings settings;
    return QJsonArray::fromVariantList(settings.value(QStringLiteral("domains")).toList());
}

} // namespace

class TestDomainList : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void mergePairsById_data();
    void mergePairsById();
    void changesSinceNameOnlyChangedDomains_data();
    void changesSinceNameOnlyChangedDomains();
    void badRepliesLeaveListUnchanged_data();
    void badRepliesLeaveListUnchanged();
    void repliesMergeAsWholeLists_data();
    void repliesMergeAsWholeLists();
    void storedListComesBack();
    void backgroundStoreWritesTheLastList();
    void destructionDeletesRecords();
};

void TestDomainList::initTestCase()
{
    TestHome::setUpIdentity();
}

void TestDomainList::init()
{
    TestHome::wipe();
}

void TestDomainList::mergePairsById_data()
{
    QTest::addColumn<QString>("held");
    QTest::addColumn<QString>("fresh");
    QTest::addColumn<QString>("merged");

    QTest::newRow("nothing changed") << "1:11,12!;2:21" << "1:11,12!;2:21" << "1=:11=,12!=;2=:21=";
    QTest::newRow("online states flip") << "1:11,12!;2:21" << "1:11!,12;2:21" << "1=:11!=,12=;2=:21=";
    QTest::newRow("renamed domain") << "1:11;2:21" << "1=North:11;2:21" << "1=:11=;2=:21=";
    QTest::newRow("device moves to another domain") << "1:11,12;2:21" << "1:12;2:21,11" << "1=:12=;2=:21=,11+";
    QTest::newRow("domains reordered, one new") << "1:11;2:21" << "3:31;2:21;1:11" << "1=:11=;2=:21=;3+:31+";
    QTest::newRow("domain dropped") << "1:11;2:21" << "2:21" << "2=:21=";
    QTest::newRow("device id twice in a domain") << "1:11,12;2:21" << "1:11,11!,12;2:21" << "1=:11=,12=,11!+;2=:21=";
    QTest::newRow("device id in two domains") << "1:11,12;2:21" << "1:11,12;2:21,11!" << "1=:11=,12=;2=:21=,11!+";
    QTest::newRow("domain id twice") << "1:11,12;2:21" << "1:11;2:21;1:12!" << "1=:11=;2=:21=;1+:12!+";
    QTest::newRow("held duplicates collapse") << "1:5,5!" << "1:5!" << "1=:5!=";
    QTest::newRow("everything gone") << "1:11;2:21" << "" << "";
}

void TestDomainList::mergePairsById()
{
    QFETCH(QString, held);
    QFETCH(QString, fresh);
    QFETCH(QString, merged);

    DomainList list;
    QVERIFY(list.mergeReply(reply(held)));
    list.store();
    const QList<QObject *> before = objectsOf(list.domains());
    QList<QPointer<QObject>> guards(before.cbegin(), before.cend());
    QList<int> heldIds;
    for (const HlvDomain *domain : list.domains()) {
        for (const HlvDevice *device : domain->devices)
            heldIds << device->id;
    }
    // Looked up before the merge as well, as the page and the ports do.
    for (int id : std::as_const(heldIds))
        QVERIFY(list.device(id) && list.domainOfDevice(id));

    // Twice: the second answer is the same text as the first.
    for (int round = 0; round < 2; ++round) {
        QVERIFY(list.mergeReply(reply(fresh)));

        QCOMPARE(describe(list.domains(), before), merged);
        const QList<QObject *> after = objectsOf(list.domains());
        for (const QPointer<QObject> &guard : std::as_const(guards))
            QVERIFY(guard.isNull() || after.contains(guard.data()));

        // What the page and the cache get is the list as it now is.
        QJsonArray expected;
        for (const HlvDomain *domain : list.domains())
            expected.append(domain->toJson());
        QCOMPARE(list.toJson(), expected);
        list.store();
        QCOMPARE(storedDomains(), expected);

        // Lookups find the first device of an id in list order, and nothing gone.
        QList<int> ids = heldIds;
        for (const HlvDomain *domain : list.domains()) {
            for (const HlvDevice *device : domain->devices)
                ids << device->id;
        }
        for (int id : std::as_const(ids)) {
            HlvDevice *first = nullptr;
            HlvDomain *firstDomain = nullptr;
            for (HlvDomain *domain : list.domains()) {
                for (HlvDevice *device : domain->devices) {
                    if (!first && device->id == id) {
                        first = device;
                        firstDomain = domain;
                    }
                }
            }
            QCOMPARE(list.device(id), first);
            QCOMPARE(list.domainOfDevice(id), firstDomain);
        }
    }
}

void TestDomainList::changesSinceNameOnlyChangedDomains_data()
{
    QTest::addColumn<QString>("held");
    QTest::addColumn<QString>("fresh");
    QTest::addColumn<QList<int>>("changed");

    QTest::newRow("nothing changed") << "1:11;2:21" << "1:11;2:21" << QList<int>{};
    QTest::newRow("a device goes offline") << "1:11,12;2:21" << "1:11,12!;2:21" << QList<int>{1};
    QTest::newRow("a domain renamed") << "1:11;2:21" << "1=North:11;2:21" << QList<int>{1};
    QTest::newRow("a domain added") << "1:11" << "1:11;3:31" << QList<int>{3};
    QTest::newRow("a domain gone") << "1:11;2:21" << "2:21" << QList<int>{};
    QTest::newRow("a device moves") << "1:11,12;2:21" << "1:11;2:21,12" << QList<int>{1, 2};
}

void TestDomainList::changesSinceNameOnlyChangedDomains()
{
    QFETCH(QString, held);
    QFETCH(QString, fresh);
    QFETCH(QList<int>, changed);

    const auto idsOf = [](const QJsonArray &list) {
        QList<int> ids;
        for (const QJsonValue &domain : list)
            ids << domain.toObject().value(QLatin1String("id")).toInt();
        return ids;
    };

    DomainList list;
    QVERIFY(list.mergeReply(reply(held)));
    const auto changesSince = [&list](int revision) {
        return QJsonDocument::fromJson(list.changedSince(revision).toUtf8()).object();
    };

    // What the page starts from: every domain, as toJson() gives them.
    const QJsonObject first = changesSince(-1);
    QCOMPARE(first.value(QLatin1String("domains")).toArray(), list.toJson());
    const int revision = first.value(QLatin1String("revision")).toInt();
    QCOMPARE(changesSince(revision).value(QLatin1String("revision")).toInt(), revision);
    QCOMPARE(changesSince(revision).value(QLatin1String("domains")).toArray(), QJsonArray());

    QVERIFY(list.mergeReply(reply(fresh)));
    const QJsonObject after = changesSince(revision);
    QCOMPARE(idsOf(after.value(QLatin1String("domains")).toArray()), changed);
    // Each changed domain as it now is, the same object toJson() holds.
    const QJsonArray all = list.toJson();
    for (const QJsonValue &domain : after.value(QLatin1String("domains")).toArray())
        QVERIFY(all.contains(domain));
    const int next = after.value(QLatin1String("revision")).toInt();
    QCOMPARE(next > revision, !changed.isEmpty() || held != fresh);

    // The same answer again changes nothing.
    QVERIFY(list.mergeReply(reply(fresh)));
    const QJsonObject again = changesSince(next);
    QCOMPARE(again.value(QLatin1String("revision")).toInt(), next);
    QCOMPARE(again.value(QLatin1String("domains")).toArray(), QJsonArray());
    // The whole list as it now is, not the one the first call gave.
    QCOMPARE(changesSince(-1).value(QLatin1String("domains")).toArray(), list.toJson());
}

void TestDomainList::badRepliesLeaveListUnchanged_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("not JSON") << "{\"domains\": [";
    QTest::newRow("array") << "[]";
    QTest::newRow("no domains") << "{\"domain\": []}";
    QTest::newRow("empty") << "";
}

void TestDomainList::badRepliesLeaveListUnchanged()
{
    QFETCH(QString, text);
    DomainList list;
    QVERIFY(list.mergeReply(reply(QStringLiteral("1:11,12;2:21"))));
    const QList<QObject *> before = objectsOf(list.domains());
    const QJsonArray json = list.toJson();

    QVERIFY(!list.mergeReply(text));
    QCOMPARE(objectsOf(list.domains()), before);
    QCOMPARE(list.toJson(), json);
    QCOMPARE(list.device(12)->id, 12);
}

void TestDomainList::repliesMergeAsWholeLists_data()
{
    QTest::addColumn<QStringList>("answers");
    // Answers in the short form, one after another.
    const auto steps = [](const char *text) { return QString::fromLatin1(text).split(QLatin1Char('|')); };

    QTest::newRow("online states flip back and forth")
        << steps("1:11,12!;2:21;3:31|1:11,12;2:21;3:31!|1:11,12;2:21;3:31!|1:11!,12;2:21!;3:31");
    QTest::newRow("devices come, go and move") << steps("1:11,12;2:21|1:11;2:21,12|1:11,13;2:21|1:;2:");
    QTest::newRow("renamed, then reordered") << steps("1:11;2:21|1=North:11;2:21|2:21;1=North:11|2=South:21;1:11");
    QTest::newRow("a domain id twice, then once") << steps("1:11;1:12|1:11!;1:12|1:11;2:12|1:11!;2:12");
    QTest::newRow("domains added and dropped") << steps("1:11|1:11;2:21|2:21|2:21!");
}

// Whatever way an answer is merged, the list comes out as a merge of the whole answer
// makes it, and the page is told of every domain that changed.
void TestDomainList::repliesMergeAsWholeLists()
{
    QFETCH(QStringList, answers);

    DomainList list;
    DomainList whole;
    int revision = -1;
    QJsonArray previous;
    for (const QString &text : std::as_const(answers)) {
        QVERIFY(list.mergeReply(reply(text)));
        QList<HlvDomain *> fresh;
        for (const QJsonValue &domain : world(text))
            fresh.append(HlvDomain::fromJson(domain.toObject()));
        whole.merge(fresh);

        QCOMPARE(list.toJson(), whole.toJson());
        QJsonArray expected;
        for (const HlvDomain *domain : list.domains())
            expected.append(domain->toJson());
        QCOMPARE(list.toJson(), expected);
        for (const HlvDomain *domain : list.domains()) {
            for (HlvDevice *device : domain->devices)
                QCOMPARE(list.device(device->id)->id, device->id);
        }

        // Every domain that changed, as it now is; with ids held twice, their twins too.
        const QJsonArray changed = QJsonDocument::fromJson(list.changedSince(revision).toUtf8())
                                       .object().value(QLatin1String("domains")).toArray();
        QSet<int> ids;
        for (const HlvDomain *domain : list.domains())
            ids.insert(domain->id);
        const bool uniqueIds = ids.size() == list.domains().size();
        QJsonArray expectedChanged;
        for (const QJsonValue &domain : list.toJson()) {
            if (revision < 0 || !previous.contains(domain))
                expectedChanged.append(domain);
        }
        if (uniqueIds) {
            QCOMPARE(changed, expectedChanged);
        } else {
            for (const QJsonValue &domain : std::as_const(expectedChanged))
                QVERIFY(changed.contains(domain));
            for (const QJsonValue &domain : changed)
                QVERIFY(list.toJson().contains(domain));
        }
        revision = QJsonDocument::fromJson(list.changedSince(revision).toUtf8()).object().value(QLatin1String("revision")).toInt();
        previous = list.toJson();
    }
}

void TestDomainList::storedListComesBack()
{
    QJsonArray json;
    {
        DomainList list;
        QVERIFY(list.mergeReply(reply(QStringLiteral("1=North:11,12!;2:21"))));
        list.store();
        json = list.toJson();
    }
    DomainList restored;
    restored.loadStored();
    QCOMPARE(restored.toJson(), json);
    QCOMPARE(describe(restored.domains(), {}), QStringLiteral("1+:11+,12!+;2+:21+"));
    QCOMPARE(restored.domainOfDevice(21)->id, 2);

    // Another user's sign-in empties the stored entry; the same list is written again.
    {
        HlvSettings settings;
        settings.remove(QStringLiteral("domains"));
    }
    restored.store();
    QCOMPARE(storedDomains(), restored.toJson());
}

void TestDomainList::backgroundStoreWritesTheLastList()
{
    DomainList list;
    // A burst of changes: what lands is the last list.
    for (const char *text : {"1:11", "1:11;2:21", "1:11!;2:21,22"}) {
        QVERIFY(list.mergeReply(reply(QString::fromLatin1(text))));
        list.storeInBackground();
    }
    list.waitForStored();
    const QJsonArray last = list.toJson();
    QCOMPARE(last.size(), 2);
    QCOMPARE(storedDomains(), last);

    // An unchanged list is not written again...
    const QJsonArray other = world(QStringLiteral("9:99"));
    {
        HlvSettings settings;
        settings.setDomainsJson(other);
    }
    list.storeInBackground();
    list.waitForStored();
    QCOMPARE(storedDomains(), other);

    // ...unless the entry was emptied since, as another user's sign-in does.
    {
        HlvSettings settings;
        settings.clearDomains();
    }
    list.storeInBackground();
    list.waitForStored();
    QCOMPARE(storedDomains(), last);

    // A write still running when the list goes is finished first.
    QJsonArray written;
    {
        DomainList going;
        QVERIFY(going.mergeReply(reply(QStringLiteral("4:41,42"))));
        going.storeInBackground();
        written = going.toJson();
    }
    QCOMPARE(written.size(), 1);
    QCOMPARE(storedDomains(), written);
}

void TestDomainList::destructionDeletesRecords()
{
    auto list = std::make_unique<DomainList>();
    QVERIFY(list->mergeReply(reply(QStringLiteral("1:11,12;2:21"))));
    const QList<QObject *> objects = objectsOf(list->domains());
    QList<QPointer<QObject>> guards(objects.cbegin(), objects.cend());
    list.reset();
    for (const QPointer<QObject> &guard : std::as_const(guards))
        QVERIFY(guard.isNull());
}

QTEST_MAIN(TestDomainList)
#include "tst_domainlist.moc"
