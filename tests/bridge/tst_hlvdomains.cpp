#include <QtTest>

#include <QJsonObject>

#include <QJsonDocument>
#include <QPointer>

#include "bridgefixture.h"
#include "logcapture.h"
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

// What the settings keep once the bridge's write of its list is done.
int storedDomainCount(Hlv *hlv)
{
    hlv->domainList().waitForStored();
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
    f.hlv()->auth()->login(QStringLiteral("alice"), QStringLiteral("secret"));
    QVERIFY(loaded.wait(15000));

    QCOMPARE(BridgeFixture::ids(f.hlv()->domainList().domains()), (QList<int>{42, 43}));
    // The type-2 device is never kept; accented names keep their letters.
    const QJsonArray json = f.hlv()->getDomainsJson();
    QCOMPARE(json.at(0).toObject().value(QStringLiteral("name")).toString(), QStringLiteral("Usine \u00c6r\u00f8"));
    QCOMPARE(json.at(0).toObject().value(QStringLiteral("devices")).toArray().size(), 2);
    QCOMPARE(f.hlv()->getDeviceByIdJson(7).at(0).toObject().value(QStringLiteral("name")).toString(),
             QStringLiteral("Pompe n\u00b0 1"));
    // The page's first call for changes gets every domain.
    QCOMPARE(QJsonDocument::fromJson(f.hlv()->getDomainsJsonChangedSince(-1).toUtf8())
                 .object()
                 .value(QStringLiteral("domains"))
                 .toArray(),
             json);
    QVERIFY(f.hlv()->reloadDomainsTimer()->isActive());
    QCOMPARE(f.hlv()->reloadDomainsTimer()->interval(), 30000);
    QCOMPARE(storedDomainCount(f.hlv()), 2);
}

void TestHlvDomains::mergeKeepsIdentityAndOrder()
{
    BridgeFixture f;
    QVERIFY(f.startCloud(worldAB()));
    QVERIFY(f.createBridge(QStringLiteral("alice"), QStringLiteral("secret")));
    QCOMPARE(BridgeFixture::ids(f.hlv()->domainList().domains()), (QList<int>{1, 2}));
    QPointer<HlvDomain> a = f.hlv()->domainList().domains().at(0);
    QPointer<HlvDomain> b = f.hlv()->domainList().domains().at(1);
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

    QCOMPARE(BridgeFixture::ids(f.hlv()->domainList().domains()), (QList<int>{1, 2, 3}));
    QCOMPARE(f.hlv()->domainList().domains().at(0), a.data());
    QCOMPARE(f.hlv()->domainList().domains().at(1), b.data());
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
    QCOMPARE(storedDomainCount(f.hlv()), 3);
    QVERIFY(!f.hlv()->reloadingDomains());
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
    QCOMPARE(storedDomainCount(f.hlv()), 2);
    const QList<HlvDomain *> before = f.hlv()->domainList().domains();

    f.hlv()->logout();
    QSignalSpy loaded(f.hlv(), &Hlv::onLoadDomainsSuccess);
    f.hlv()->auth()->login(QStringLiteral("carol"), QStringLiteral("pw"));
    QVERIFY(loaded.wait(15000));
    QCOMPARE(f.hlv()->domainList().domains(), before);
    QCOMPARE(storedDomainCount(f.hlv()), 2);
}

void TestHlvDomains::emptyListDeletesAllAndSucceeds()
{
    BridgeFixture f;
    QVERIFY(f.startCloud(worldAB()));
    QVERIFY(f.createBridge(QStringLiteral("alice"), QStringLiteral("secret")));
    QPointer<HlvDomain> a = f.hlv()->domainList().domains().at(0);
    QPointer<HlvDevice> a1 = a->devices.at(0);

    QVERIFY(f.setCloudDomains(QJsonArray{}));
    QSignalSpy loaded(f.hlv(), &Hlv::onLoadDomainsSuccess);
    f.hlv()->loadDomains();
    QVERIFY(loaded.wait(15000));
    QVERIFY(f.hlv()->domainList().domains().isEmpty());
    QVERIFY(a.isNull());
    QVERIFY(a1.isNull());
    QCOMPARE(f.hlv()->getDomainsJson(), QJsonArray());
    QCOMPARE(storedDomainCount(f.hlv()), 0);
    HlvSettings settings;
    QVERIFY(settings.contains(QStringLiteral("domains")));
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
    const QList<HlvDomain *> before = f.hlv()->domainList().domains();
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
    QCOMPARE(f.hlv()->domainList().domains(), before);
    QCOMPARE(f.hlv()->getDomainsJson(), jsonBefore);
    QCOMPARE(storedDomainCount(f.hlv()), 2);
    QVERIFY(f.hlv()->reloadDomainsTimer()->isActive());
    QVERIFY(!f.hlv()->reloadingDomains());
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
    VidEru *vpn = f.hlv()->vpn();
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
    QVERIFY(f.hlv()->pendingStart() == Hlv::PendingStart::AfterDomainsLoaded);
    QCOMPARE(f.hlv()->lastDeviceId(), 7);

    QVERIFY(f.signIn(QStringLiteral("alice"), QStringLiteral("secret")));
    QVERIFY(f.hlv()->pendingStart() != Hlv::PendingStart::AfterDomainsLoaded);
    QTRY_COMPARE_WITH_TIMEOUT(f.requestCount(VpnConfigPath42), 1, 15000);

    f.hlv()->logout();
    // The sign-in returns once the list has loaded, which is when a start would begin.
    LogCapture log(4);
    QVERIFY(f.signIn(QStringLiteral("alice"), QStringLiteral("secret")));
    QVERIFY(!log.contains(QStringLiteral("Hlv::startVpnDevice()")));
    QCOMPARE(f.requestCount(VpnConfigPath42), 1);
}

void TestHlvDomains::noAutoStartWithoutLastDevice()
{
    BridgeFixture f;
    QVERIFY(f.startCloud(SimulatorProcess::sampleFixture()));
    QVERIFY(f.createBridge());
    QVERIFY(f.hlv()->pendingStart() != Hlv::PendingStart::AfterDomainsLoaded);
    LogCapture log(4);
    QVERIFY(f.signIn(QStringLiteral("alice"), QStringLiteral("secret")));
    QVERIFY(!log.contains(QStringLiteral("Hlv::startVpnDevice()")));
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
    // A request sent by either would be in the cloud before the sign-in's own list.
    QVERIFY(f.signIn(QStringLiteral("alice"), QStringLiteral("secret")));
    QCOMPARE(f.requestCount(DomainPath), 1);
}

void TestHlvDomains::runningTimerKeepsItsDueTime()
{
    BridgeFixture f;
    QVERIFY(f.startCloud(SimulatorProcess::sampleFixture()));
    QVERIFY(f.createBridge());
    const QTimer *timer = f.hlv()->reloadDomainsTimer();
    QVERIFY(!timer->isActive());
    f.hlv()->startReloadDomainsTimer();
    QVERIFY(timer->isActive());
    // A coarse timer may move its due time by a few percent, so only compare
    // readings: a restart would push the due time back up.
    const int remaining = timer->remainingTime();
    QTRY_VERIFY_WITH_TIMEOUT(timer->remainingTime() <= remaining - 300, 5000);
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
    QCOMPARE(BridgeFixture::ids(restarted.domainList().domains()), (QList<int>{42, 43}));
    QCOMPARE(restarted.getDomainsJson().size(), 2);
}

void TestHlvDomains::logoutKeepsDomainList()
{
    BridgeFixture f;
    QVERIFY(f.startCloud(SimulatorProcess::sampleFixture()));
    QVERIFY(f.createBridge(QStringLiteral("alice"), QStringLiteral("secret")));
    const QJsonArray before = f.hlv()->getDomainsJson();
    f.hlv()->logout();
    QVERIFY(!f.hlv()->auth()->isAuthenticated());
    QVERIFY(!f.hlv()->reloadDomainsTimer()->isActive());
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
    // The monitor's calls name a port by device and type; none is there to switch.
    QCOMPARE(f.hlv()->getVirtualSerialPortsStatusJson(7), QJsonArray());
    QVERIFY(!f.hlv()->setVirtualSerialPortMonitor(7, 0, true));
    QVERIFY(!f.hlv()->setVirtualSerialPortTrace(7, 0, true));
    QCOMPARE(f.hlv()->getVirtualSerialPortMonitorJson(7, 0, 0), QJsonObject());
}

QTEST_MAIN(TestHlvDomains)
#include "tst_hlvdomains.moc"
