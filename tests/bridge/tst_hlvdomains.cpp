#include <QtTest>

#include <QPointer>

#include "bridgefixture.h"
#include "model/hlvdevice.h"
#include "model/hlvdomain.h"
#include "model/hlvsettings.h"
#include "testhome.h"
#include "vpn/videru.h"
#include "vpn/viderusignals.h"

namespace {

const QString DomainPath = QStringLiteral("/api/v2/domain");
const QString VpnConfigPath42 = QStringLiteral("/api/v2/vpn/domain/42");

QJsonObject worldAB()
{
    QJsonObject fixture = SimulatorProcess::sampleFixture();
    fixture.insert(QStringLiteral("domains"),
                   QJsonArray{BridgeFixture::domain(1, QStringLiteral("A"), true,
                                                    {BridgeFixture::device(11, 1, QStringLiteral("a1"), 1),
                                                     BridgeFixture::device(12, 1, QStringLiteral("a2"), 1)}),
                              BridgeFixture::domain(2, QStringLiteral("B"), true,
                                                    {BridgeFixture::device(21, 2, QStringLiteral("b1"), 1)})});
    return fixture;
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
            devices.append(BridgeFixture::device(deviceText.toInt(), id, QStringLiteral("d%1").arg(deviceText), offline ? 0 : 1));
        }
        domains.append(BridgeFixture::domain(id, name, true, devices));
    }
    return domains;
}

// The bridge's list in the same short form, with "=" after each object that was in
// `before` and "+" after each new one.
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

// A bridge signed in as alice to a cloud holding the domains `held` (short form).
bool signedInTo(BridgeFixture &f, const QString &held)
{
    QJsonObject fixture = SimulatorProcess::sampleFixture();
    fixture.insert(QStringLiteral("domains"), world(held));
    return f.startCloud(fixture) && f.createBridge(QStringLiteral("alice"), QStringLiteral("secret"));
}

int storedDomainCount()
{
    HlvSettings settings;
    return settings.value(QStringLiteral("domains")).toList().size();
}

} // namespace

class TestHlvDomains : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void signInLoadsAndCachesDomains();
    void mergeKeepsIdentityAndOrder();
    void mergePairsById_data();
    void mergePairsById();
    void changesSinceNameOnlyChangedDomains_data();
    void changesSinceNameOnlyChangedDomains();
    void storedListFollowsAnotherUsersSignIn();
    void emptyListDeletesAllAndSucceeds();
    void badRepliesLeaveListUnchanged_data();
    void badRepliesLeaveListUnchanged();
    void reloadStopsTunnelOfDeviceGoneOffline_data();
    void reloadStopsTunnelOfDeviceGoneOffline();
    void autoStartOncePerRun();
    void noAutoStartWithoutLastDevice();
    void loadWithoutSignInSendsNothing();
    void runningTimerKeepsItsDueTime();
    void cachedListAnswersBeforeFirstReply();
    void logoutKeepsDomainList();
    void lookupsOfUnknownDevice();
};

void TestHlvDomains::initTestCase()
{
    TestHome::setUpIdentity();
}

void TestHlvDomains::init()
{
    TestHome::wipe();
}

void TestHlvDomains::signInLoadsAndCachesDomains()
{
    BridgeFixture f;
    QVERIFY(f.startCloud(SimulatorProcess::sampleFixture()));
    QVERIFY(f.createBridge());
    QSignalSpy loaded(f.hlv(), &Hlv::onLoadDomainsSuccess);
    f.hlv()->auth->login(QStringLiteral("alice"), QStringLiteral("secret"));
    QVERIFY(loaded.wait(15000));

    QCOMPARE(BridgeFixture::ids(f.hlv()->domains), (QList<int>{42, 43}));
    // The type-2 device is never kept; accented names keep their letters.
    const QJsonArray json = f.hlv()->getDomainsJson();
    QCOMPARE(json.at(0).toObject().value(QStringLiteral("name")).toString(), QStringLiteral("Usine \u00c6r\u00f8"));
    QCOMPARE(json.at(0).toObject().value(QStringLiteral("devices")).toArray().size(), 2);
    QCOMPARE(f.hlv()->getDeviceByIdJson(7).at(0).toObject().value(QStringLiteral("name")).toString(),
             QStringLiteral("Pompe n\u00b0 1"));
    QVERIFY(f.hlv()->reloadDomainsTimer->isActive());
    QCOMPARE(f.hlv()->reloadDomainsTimer->interval(), 30000);
    QCOMPARE(storedDomainCount(), 2);
}

void TestHlvDomains::mergeKeepsIdentityAndOrder()
{
    BridgeFixture f;
    QVERIFY(f.startCloud(worldAB()));
    QVERIFY(f.createBridge(QStringLiteral("alice"), QStringLiteral("secret")));
    QCOMPARE(BridgeFixture::ids(f.hlv()->domains), (QList<int>{1, 2}));
    QPointer<HlvDomain> a = f.hlv()->domains.at(0);
    QPointer<HlvDomain> b = f.hlv()->domains.at(1);
    QPointer<HlvDevice> a1 = a->devices.at(0);
    QPointer<HlvDevice> a2 = a->devices.at(1);

    // C arrives first, B and A swap places, A's second device goes offline, its first
    // device vanishes and a new one appears.
    QVERIFY(f.setCloudDomains(QJsonArray{
        BridgeFixture::domain(3, QStringLiteral("C"), true, {BridgeFixture::device(31, 3, QStringLiteral("c1"), 1)}),
        BridgeFixture::domain(2, QStringLiteral("B renamed"), false, {BridgeFixture::device(21, 2, QStringLiteral("b1"), 1)}),
        BridgeFixture::domain(1, QStringLiteral("A renamed"), true,
                              {BridgeFixture::device(13, 1, QStringLiteral("a3"), 1),
                               BridgeFixture::device(12, 1, QStringLiteral("a2 new name"), 0)})}));

    QSignalSpy reloaded(f.hlv(), &Hlv::onReloadDomainsSuccess);
    f.hlv()->reloadDomains();
    QVERIFY(reloaded.wait(15000));

    QCOMPARE(BridgeFixture::ids(f.hlv()->domains), (QList<int>{1, 2, 3}));
    QCOMPARE(f.hlv()->domains.at(0), a.data());
    QCOMPARE(f.hlv()->domains.at(1), b.data());
    QCOMPARE(a->name, QStringLiteral("A renamed"));
    QCOMPARE(b->name, QStringLiteral("B renamed"));
    QCOMPARE(b->vpnEnable, false);
    QVERIFY(a1.isNull());
    QVERIFY(!a2.isNull());
    QCOMPARE(a->devices.size(), 2);
    QCOMPARE(a->devices.at(0), a2.data());
    QCOMPARE(a2->vpnStatus, 0);
    QCOMPARE(a2->name, QStringLiteral("a2 new name"));
    QCOMPARE(a->devices.at(1)->id, 13);
    QCOMPARE(storedDomainCount(), 3);
    QVERIFY(!f.hlv()->reloadingDomains);
}

void TestHlvDomains::mergePairsById_data()
{
    QTest::addColumn<QString>("held");
    QTest::addColumn<QString>("reply");
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

void TestHlvDomains::mergePairsById()
{
    QFETCH(QString, held);
    QFETCH(QString, reply);
    QFETCH(QString, merged);

    BridgeFixture f;
    QVERIFY(signedInTo(f, held));
    Hlv *hlv = f.hlv();
    const QList<QObject *> before = objectsOf(hlv->domains);
    QList<QPointer<QObject>> guards(before.cbegin(), before.cend());
    QList<int> heldIds;
    for (const HlvDomain *domain : std::as_const(hlv->domains)) {
        for (const HlvDevice *device : domain->devices)
            heldIds << device->id;
    }
    // Looked up before the reload as well, as the page and the ports do.
    for (int id : std::as_const(heldIds))
        QVERIFY(hlv->findDevice(id) && hlv->findDomainOfDevice(id));

    QVERIFY(f.setCloudDomains(world(reply)));
    // Twice: the second answer is the same text as the first.
    for (int round = 0; round < 2; ++round) {
        QSignalSpy reloaded(hlv, &Hlv::onReloadDomainsSuccess);
        hlv->reloadDomains();
        QVERIFY(reloaded.wait(15000));

        QCOMPARE(describe(hlv->domains, before), merged);
        const QList<QObject *> after = objectsOf(hlv->domains);
        for (const QPointer<QObject> &guard : std::as_const(guards))
            QVERIFY(guard.isNull() || after.contains(guard.data()));

        // What the page and the cache get is the list as it now is.
        QJsonArray expected;
        for (const HlvDomain *domain : std::as_const(hlv->domains))
            expected.append(domain->toJson());
        QCOMPARE(hlv->getDomainsJson(), expected);
        {
            HlvSettings settings;
            QCOMPARE(QJsonArray::fromVariantList(settings.value(QStringLiteral("domains")).toList()), expected);
        }

        // Lookups find the first device of an id in list order, and nothing gone.
        QList<int> ids = heldIds;
        for (const HlvDomain *domain : std::as_const(hlv->domains)) {
            for (const HlvDevice *device : domain->devices)
                ids << device->id;
        }
        for (int id : std::as_const(ids)) {
            HlvDevice *first = nullptr;
            HlvDomain *firstDomain = nullptr;
            for (HlvDomain *domain : std::as_const(hlv->domains)) {
                for (HlvDevice *device : domain->devices) {
                    if (!first && device->id == id) {
                        first = device;
                        firstDomain = domain;
                    }
                }
            }
            QCOMPARE(hlv->findDevice(id), first);
            QCOMPARE(hlv->findDomainOfDevice(id), firstDomain);
            QCOMPARE(hlv->getDeviceByIdJson(id), first ? QJsonArray{first->toJson()} : QJsonArray());
        }
    }
}

void TestHlvDomains::changesSinceNameOnlyChangedDomains_data()
{
    QTest::addColumn<QString>("held");
    QTest::addColumn<QString>("reply");
    QTest::addColumn<QList<int>>("changed");

    QTest::newRow("nothing changed") << "1:11;2:21" << "1:11;2:21" << QList<int>{};
    QTest::newRow("a device goes offline") << "1:11,12;2:21" << "1:11,12!;2:21" << QList<int>{1};
    QTest::newRow("a domain renamed") << "1:11;2:21" << "1=North:11;2:21" << QList<int>{1};
    QTest::newRow("a domain added") << "1:11" << "1:11;3:31" << QList<int>{3};
    QTest::newRow("a domain gone") << "1:11;2:21" << "2:21" << QList<int>{};
    QTest::newRow("a device moves") << "1:11,12;2:21" << "1:11;2:21,12" << QList<int>{1, 2};
}

void TestHlvDomains::changesSinceNameOnlyChangedDomains()
{
    QFETCH(QString, held);
    QFETCH(QString, reply);
    QFETCH(QList<int>, changed);

    const auto idsOf = [](const QJsonArray &list) {
        QList<int> ids;
        for (const QJsonValue &domain : list)
            ids << domain.toObject().value(QLatin1String("id")).toInt();
        return ids;
    };

    BridgeFixture f;
    QVERIFY(signedInTo(f, held));
    Hlv *hlv = f.hlv();

    const auto changesSince = [hlv](int revision) {
        return QJsonDocument::fromJson(hlv->getDomainsJsonChangedSince(revision).toUtf8()).object();
    };

    // What the page starts from: every domain, as getDomainsJson() gives them.
    const QJsonObject first = changesSince(-1);
    QCOMPARE(first.value(QLatin1String("domains")).toArray(), hlv->getDomainsJson());
    const int revision = first.value(QLatin1String("revision")).toInt();
    QCOMPARE(changesSince(revision).value(QLatin1String("revision")).toInt(), revision);
    QCOMPARE(changesSince(revision).value(QLatin1String("domains")).toArray(), QJsonArray());

    QVERIFY(f.setCloudDomains(world(reply)));
    QSignalSpy reloaded(hlv, &Hlv::onReloadDomainsSuccess);
    hlv->reloadDomains();
    QVERIFY(reloaded.wait(15000));

    const QJsonObject after = changesSince(revision);
    QCOMPARE(idsOf(after.value(QLatin1String("domains")).toArray()), changed);
    // Each changed domain as it now is, the same object getDomainsJson() holds.
    const QJsonArray all = hlv->getDomainsJson();
    for (const QJsonValue &domain : after.value(QLatin1String("domains")).toArray())
        QVERIFY(all.contains(domain));
    const int next = after.value(QLatin1String("revision")).toInt();
    QCOMPARE(next > revision, !changed.isEmpty() || held != reply);

    // The same answer again changes nothing.
    reloaded.clear();
    hlv->reloadDomains();
    QVERIFY(reloaded.wait(15000));
    const QJsonObject again = changesSince(next);
    QCOMPARE(again.value(QLatin1String("revision")).toInt(), next);
    QCOMPARE(again.value(QLatin1String("domains")).toArray(), QJsonArray());
    // The whole list as it now is, not the one the first call gave.
    QCOMPARE(changesSince(-1).value(QLatin1String("domains")).toArray(), hlv->getDomainsJson());
}

void TestHlvDomains::storedListFollowsAnotherUsersSignIn()
{
    // A sign-in as another user empties the stored list; the same list coming back
    // from the cloud must be stored again, though nothing in it changed.
    QJsonObject fixture = worldAB();
    QJsonArray users = fixture.value(QStringLiteral("users")).toArray();
    users.append(QJsonObject{{QStringLiteral("username"), QStringLiteral("carol")},
                             {QStringLiteral("password"), QStringLiteral("pw")}});
    fixture.insert(QStringLiteral("users"), users);
    BridgeFixture f;
    QVERIFY(f.startCloud(fixture));
    QVERIFY(f.createBridge(QStringLiteral("alice"), QStringLiteral("secret")));
    QCOMPARE(storedDomainCount(), 2);
    const QList<HlvDomain *> before = f.hlv()->domains;

    f.hlv()->logout();
    QSignalSpy loaded(f.hlv(), &Hlv::onLoadDomainsSuccess);
    f.hlv()->auth->login(QStringLiteral("carol"), QStringLiteral("pw"));
    QVERIFY(loaded.wait(15000));
    QCOMPARE(f.hlv()->domains, before);
    QCOMPARE(storedDomainCount(), 2);
}

void TestHlvDomains::emptyListDeletesAllAndSucceeds()
{
    BridgeFixture f;
    QVERIFY(f.startCloud(worldAB()));
    QVERIFY(f.createBridge(QStringLiteral("alice"), QStringLiteral("secret")));
    QPointer<HlvDomain> a = f.hlv()->domains.at(0);
    QPointer<HlvDevice> a1 = a->devices.at(0);

    QVERIFY(f.setCloudDomains(QJsonArray{}));
    QSignalSpy loaded(f.hlv(), &Hlv::onLoadDomainsSuccess);
    f.hlv()->loadDomains();
    QVERIFY(loaded.wait(15000));
    QVERIFY(f.hlv()->domains.isEmpty());
    QVERIFY(a.isNull());
    QVERIFY(a1.isNull());
    QCOMPARE(f.hlv()->getDomainsJson(), QJsonArray());
    HlvSettings settings;
    QVERIFY(settings.contains(QStringLiteral("domains")));
    QCOMPARE(storedDomainCount(), 0);
}

void TestHlvDomains::badRepliesLeaveListUnchanged_data()
{
    QTest::addColumn<QJsonObject>("fault");
    QTest::addColumn<bool>("reload");

    const auto fault = [](int status, const QString &body) {
        return QJsonObject{{QStringLiteral("path"), DomainPath},
                           {QStringLiteral("status"), status},
                           {QStringLiteral("body"), body},
                           {QStringLiteral("times"), 1}};
    };
    QTest::newRow("no domains member") << fault(200, QStringLiteral("{\"other\": []}")) << false;
    QTest::newRow("status 201") << fault(201, QStringLiteral("{\"domains\": []}")) << false;
    QTest::newRow("array body") << fault(200, QStringLiteral("[]")) << true;
    QTest::newRow("not JSON") << fault(200, QStringLiteral("domains")) << true;
    QTest::newRow("server error") << fault(500, QStringLiteral("{\"domains\": []}")) << true;
}

void TestHlvDomains::badRepliesLeaveListUnchanged()
{
    QFETCH(QJsonObject, fault);
    QFETCH(bool, reload);

    BridgeFixture f;
    QVERIFY(f.startCloud(worldAB()));
    QVERIFY(f.createBridge(QStringLiteral("alice"), QStringLiteral("secret")));
    const QList<HlvDomain *> before = f.hlv()->domains;
    const QJsonArray jsonBefore = f.hlv()->getDomainsJson();
    QVERIFY(f.cloud().addFault(fault));

    QSignalSpy loadError(f.hlv(), &Hlv::onLoadDomainsError);
    QSignalSpy reloadError(f.hlv(), &Hlv::onReloadDomainsError);
    QSignalSpy loadSuccess(f.hlv(), &Hlv::onLoadDomainsSuccess);
    if (reload)
        f.hlv()->reloadDomains();
    else
        f.hlv()->loadDomains();
    QSignalSpy &expected = reload ? reloadError : loadError;
    QVERIFY(expected.wait(15000));
    QCOMPARE((reload ? loadError : reloadError).size(), 0);
    QCOMPARE(loadSuccess.size(), 0);
    QCOMPARE(f.hlv()->domains, before);
    QCOMPARE(f.hlv()->getDomainsJson(), jsonBefore);
    QCOMPARE(storedDomainCount(), 2);
    QVERIFY(f.hlv()->reloadDomainsTimer->isActive());
    QVERIFY(!f.hlv()->reloadingDomains);
}

void TestHlvDomains::reloadStopsTunnelOfDeviceGoneOffline_data()
{
    QTest::addColumn<bool>("deviceStillListed");
    QTest::addColumn<int>("vpnStatusInReply");
    QTest::addColumn<bool>("stopped");

    QTest::newRow("offline") << true << 0 << true;
    QTest::newRow("still online") << true << 1 << false;
    QTest::newRow("vanished") << false << 0 << false;
}

void TestHlvDomains::reloadStopsTunnelOfDeviceGoneOffline()
{
    QFETCH(bool, deviceStillListed);
    QFETCH(int, vpnStatusInReply);
    QFETCH(bool, stopped);

    BridgeFixture f;
    QVERIFY(f.startCloud(worldAB()));
    QVERIFY(f.createBridge(QStringLiteral("alice"), QStringLiteral("secret")));

    // The controller as it stands with a tunnel up to device 11.
    VidEru *vpn = f.hlv()->vpn;
    vpn->setDeviceId(11);
    emit VidEruSignals::instance()->connected();
    QCOMPARE(vpn->getStatus(), 3);

    QJsonArray devices{BridgeFixture::device(12, 1, QStringLiteral("a2"), 1)};
    if (deviceStillListed)
        devices.prepend(BridgeFixture::device(11, 1, QStringLiteral("a1"), vpnStatusInReply));
    QVERIFY(f.setCloudDomains(QJsonArray{BridgeFixture::domain(1, QStringLiteral("A"), true, devices)}));

    QSignalSpy disconnected(vpn, &VidEru::onDisconnected);
    QSignalSpy reloaded(f.hlv(), &Hlv::onReloadDomainsSuccess);
    f.hlv()->reloadDomains();
    QVERIFY(reloaded.wait(15000));
    QCOMPARE(disconnected.size(), stopped ? 1 : 0);
    QCOMPARE(vpn->getStatus(), stopped ? 1 : 3);
}

void TestHlvDomains::autoStartOncePerRun()
{
    {
        HlvSettings settings;
        settings.setValue(QStringLiteral("vpn/last_device_id"), 7);
    }
    BridgeFixture f;
    QVERIFY(f.startCloud(SimulatorProcess::sampleFixture()));
    QVERIFY(f.createBridge());
    QVERIFY(f.hlv()->pendingStart == Hlv::PendingStart::AfterDomainsLoaded);
    QCOMPARE(f.hlv()->lastDeviceId, 7);

    QVERIFY(f.signIn(QStringLiteral("alice"), QStringLiteral("secret")));
    QVERIFY(f.hlv()->pendingStart != Hlv::PendingStart::AfterDomainsLoaded);
    QTRY_COMPARE_WITH_TIMEOUT(f.requestCount(VpnConfigPath42), 1, 15000);

    f.hlv()->logout();
    QVERIFY(f.signIn(QStringLiteral("alice"), QStringLiteral("secret")));
    QTest::qWait(500);
    QCOMPARE(f.requestCount(VpnConfigPath42), 1);
}

void TestHlvDomains::noAutoStartWithoutLastDevice()
{
    BridgeFixture f;
    QVERIFY(f.startCloud(SimulatorProcess::sampleFixture()));
    QVERIFY(f.createBridge());
    QVERIFY(f.hlv()->pendingStart != Hlv::PendingStart::AfterDomainsLoaded);
    QVERIFY(f.signIn(QStringLiteral("alice"), QStringLiteral("secret")));
    QTest::qWait(500);
    QCOMPARE(f.requestCount(VpnConfigPath42), 0);
}

void TestHlvDomains::loadWithoutSignInSendsNothing()
{
    BridgeFixture f;
    QVERIFY(f.startCloud(SimulatorProcess::sampleFixture()));
    QVERIFY(f.createBridge());
    QSignalSpy loadError(f.hlv(), &Hlv::onLoadDomainsError);
    QSignalSpy reloadError(f.hlv(), &Hlv::onReloadDomainsError);
    f.hlv()->loadDomains();
    f.hlv()->reloadDomains();
    QCOMPARE(loadError.size(), 1);
    QCOMPARE(reloadError.size(), 1);
    QTest::qWait(200);
    QCOMPARE(f.requestCount(DomainPath), 0);
}

void TestHlvDomains::runningTimerKeepsItsDueTime()
{
    BridgeFixture f;
    QVERIFY(f.startCloud(SimulatorProcess::sampleFixture()));
    QVERIFY(f.createBridge());
    QTimer *timer = f.hlv()->reloadDomainsTimer;
    QVERIFY(!timer->isActive());
    f.hlv()->startReloadDomainsTimer();
    QVERIFY(timer->isActive());
    // A coarse timer may move its due time by a few percent, so only compare
    // readings: a restart would push the due time back up.
    const int remaining = timer->remainingTime();
    QTest::qWait(300);
    f.hlv()->startReloadDomainsTimer();
    QVERIFY(timer->remainingTime() < remaining);
    f.hlv()->stopReloadDomainsTimer();
    QVERIFY(!timer->isActive());
}

void TestHlvDomains::cachedListAnswersBeforeFirstReply()
{
    {
        BridgeFixture f;
        QVERIFY(f.startCloud(SimulatorProcess::sampleFixture()));
        QVERIFY(f.createBridge(QStringLiteral("alice"), QStringLiteral("secret")));
    }
    Hlv restarted;
    QCOMPARE(BridgeFixture::ids(restarted.domains), (QList<int>{42, 43}));
    QCOMPARE(restarted.getDomainsJson().size(), 2);
}

void TestHlvDomains::logoutKeepsDomainList()
{
    BridgeFixture f;
    QVERIFY(f.startCloud(SimulatorProcess::sampleFixture()));
    QVERIFY(f.createBridge(QStringLiteral("alice"), QStringLiteral("secret")));
    const QJsonArray before = f.hlv()->getDomainsJson();
    f.hlv()->logout();
    QVERIFY(!f.hlv()->auth->isAuthenticated());
    QVERIFY(!f.hlv()->reloadDomainsTimer->isActive());
    QCOMPARE(f.hlv()->getDomainsJson(), before);
}

void TestHlvDomains::lookupsOfUnknownDevice()
{
    BridgeFixture f;
    QVERIFY(f.startCloud(SimulatorProcess::sampleFixture()));
    QVERIFY(f.createBridge(QStringLiteral("alice"), QStringLiteral("secret")));
    QCOMPARE(f.hlv()->getDeviceByIdJson(999), QJsonArray());
    QVERIFY(!f.hlv()->findDevice(999));
    QVERIFY(!f.hlv()->findDomainOfDevice(999));
    QCOMPARE(f.hlv()->findDomainOfDevice(8)->id, 42);
    QVERIFY(!f.hlv()->create(0, 999));
    QVERIFY(!f.hlv()->destroyVirtualSerialPort(999, 0));
    QCOMPARE(f.hlv()->getVirtualSerialPortsByDeviceIdJson(7), QJsonArray());
}

QTEST_MAIN(TestHlvDomains)
#include "tst_hlvdomains.moc"
