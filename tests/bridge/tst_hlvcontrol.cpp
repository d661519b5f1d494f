#include <QtTest>

#include <QDesktopServices>
#include <QTemporaryDir>

#include "bridgefixture.h"
#include "cloud/auth.h"
#include "eventsentinel.h"
#include "model/hlvsettings.h"
#include "testhome.h"
#include "urlrecorder.h"
#include "vpn/videru.h"
#include "vpn/viderusignals.h"

class TestHlvControl : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void deviceWebPageOnlyForOnlineDevice_data();
    void deviceWebPageOnlyForOnlineDevice();
    void restartAsRootKeepsPasswordOutOfTheShell();
    void storedLastDeviceArmsAutoStart_data();
    void storedLastDeviceArmsAutoStart();
    void stopCancelsWaitingStart_data();
    void stopCancelsWaitingStart();
    void retiredBridgeIgnoresTheTunnel();
    void retiredBridgeStopsRenewingItsKey();
};

void TestHlvControl::initTestCase()
{
    TestHome::setUpIdentity();
}

void TestHlvControl::init()
{
    TestHome::wipe();
}

void TestHlvControl::deviceWebPageOnlyForOnlineDevice_data()
{
    QTest::addColumn<int>("device");
    QTest::addColumn<QString>("url");

    QTest::newRow("online") << 7 << "http://10.8.0.6";
    QTest::newRow("offline") << 8 << "";
    QTest::newRow("unknown") << 999 << "";
}

void TestHlvControl::deviceWebPageOnlyForOnlineDevice()
{
    QFETCH(int, device);
    QFETCH(QString, url);

    BridgeFixture f;
    QVERIFY(f.startCloud(SimulatorProcess::sampleFixture()));
    QVERIFY(f.createBridge(QStringLiteral("alice"), QStringLiteral("secret")));

    UrlRecorder recorder;
    QDesktopServices::setUrlHandler(QStringLiteral("http"), &recorder, "open");
    f.hlv()->openDeviceWebUI(device);
    QDesktopServices::unsetUrlHandler(QStringLiteral("http"));

    if (url.isEmpty())
        QVERIFY(recorder.urls.isEmpty());
    else
        QCOMPARE(recorder.urls, QList<QUrl>{QUrl(url)});
}

void TestHlvControl::restartAsRootKeepsPasswordOutOfTheShell()
{
    QTemporaryDir bin;
    QVERIFY(bin.isValid());
    const QString record = bin.filePath(QStringLiteral("record"));
    const QString marker = bin.filePath(QStringLiteral("injected"));

    // A stand-in for sudo that records what it was given.
    QFile sudo(bin.filePath(QStringLiteral("sudo")));
    QVERIFY(sudo.open(QIODevice::WriteOnly));
    sudo.write("#!/bin/sh\nprintf '%s\\n' \"$@\" > \"" + QFile::encodeName(record) + ".args\"\ncat > \""
               + QFile::encodeName(record) + ".stdin\"\n");
    sudo.close();
    QVERIFY(sudo.setPermissions(QFileDevice::ReadOwner | QFileDevice::ExeOwner));

    const QByteArray path = qgetenv("PATH");
    qputenv("PATH", QFile::encodeName(bin.path()) + ':' + path);

    const QString password = QStringLiteral("it's'; touch ") + marker + QStringLiteral("; echo '$(touch ") + marker
                             + QStringLiteral(")");
    Hlv hlv;
    QSignalSpy killed(&hlv, &Hlv::onKill);
    hlv.restartAsRoot(password);
    qputenv("PATH", path);
    QCOMPARE(killed.size(), 0);
    QVERIFY(killed.wait(3000));

    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(record + QStringLiteral(".stdin")), 5000);
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(record + QStringLiteral(".stdin")).size() > 0, 5000);
    QFile in(record + QStringLiteral(".stdin"));
    QVERIFY(in.open(QIODevice::ReadOnly));
    QCOMPARE(QString::fromUtf8(in.readAll()), password + QLatin1Char('\n'));
    QFile args(record + QStringLiteral(".args"));
    QVERIFY(args.open(QIODevice::ReadOnly));
    QCOMPARE(QString::fromUtf8(args.readAll()),
             QStringLiteral("-k\n-S\n") + QCoreApplication::applicationFilePath() + QLatin1Char('\n'));
    QVERIFY(!QFile::exists(marker));
    QVERIFY(qEnvironmentVariableIsEmpty("CORRIVO_SUDO_PASSWORD"));
}

void TestHlvControl::storedLastDeviceArmsAutoStart_data()
{
    QTest::addColumn<QVariant>("stored");
    QTest::addColumn<int>("lastDeviceId");
    QTest::addColumn<bool>("pending");

    QTest::newRow("none") << QVariant() << -1 << false;
    QTest::newRow("7") << QVariant(7) << 7 << true;
    QTest::newRow("-1") << QVariant(-1) << -1 << false;
    QTest::newRow("text") << QVariant(QStringLiteral("12")) << 12 << true;
}

void TestHlvControl::storedLastDeviceArmsAutoStart()
{
    QFETCH(QVariant, stored);
    QFETCH(int, lastDeviceId);
    QFETCH(bool, pending);

    if (stored.isValid()) {
        HlvSettings settings;
        settings.setValue(QStringLiteral("vpn/last_device_id"), stored);
    }
    Hlv hlv;
    QCOMPARE(hlv.lastDeviceId(), lastDeviceId);
    QCOMPARE(hlv.pendingStart() == Hlv::PendingStart::AfterDomainsLoaded, pending);
}

void TestHlvControl::stopCancelsWaitingStart_data()
{
    QTest::addColumn<QString>("action");
    QTest::newRow("stop") << "stopVpn";
    QTest::newRow("logout") << "logout";
    QTest::newRow("window closed") << "m_exit";
}

// A start handed over to the old tunnel's end must not outlive a stop, a sign-out or
// the window: with it still waiting, the stop's onDisconnected() would start a tunnel
// (here it would fail at once for want of a profile, which the spy sees).
void TestHlvControl::stopCancelsWaitingStart()
{
    QFETCH(QString, action);
    Hlv hlv;
    hlv.setPendingStartForTest(Hlv::PendingStart::AfterDisconnect);
    QSignalSpy startFailed(&hlv, &Hlv::onVpnStartGetConfigError);
    QSignalSpy disconnected(hlv.vpn(), &VidEru::onDisconnected);

    QVERIFY(QMetaObject::invokeMethod(&hlv, action.toLatin1().constData(), Qt::DirectConnection));
    QCOMPARE(disconnected.size(), 1);
    QCOMPARE(startFailed.size(), 0);
    QVERIFY(hlv.pendingStart() != Hlv::PendingStart::AfterDisconnect);
}

// After a renderer crash the old window's bridge stays in memory and its controller
// still hears the relay; the tunnel the new bridge starts is none of its business.
void TestHlvControl::retiredBridgeIgnoresTheTunnel()
{
    auto lastDeviceStored = [] {
        HlvSettings settings;
        return settings.value(QStringLiteral("vpn/last_device_id"), -1).toInt();
    };
    {
        HlvSettings settings;
        settings.setValue(QStringLiteral("vpn/last_device_id"), 5);
    }
    Hlv old;
    QCOMPARE(old.lastDeviceId(), 5);
    old.m_exit();
    old.retire();

    Hlv current;
    current.setLastDeviceIdForTest(9);
    QSignalSpy oldConnected(old.vpn(), &VidEru::onConnected);
    emit VidEruSignals::instance()->connected();
    QTRY_COMPARE(oldConnected.size(), 1);  // the old controller heard it ...
    QCOMPARE(lastDeviceStored(), 9);      // ... but only the current bridge stored its device

    // Nor does the end of that tunnel start one of the old bridge's, even one left set.
    old.setPendingStartForTest(Hlv::PendingStart::AfterDisconnect);
    QSignalSpy oldStartFailed(&old, &Hlv::onVpnStartGetConfigError);
    emit VidEruSignals::instance()->disconnected();
    QTRY_COMPARE(old.vpn()->getStatus(), 1);
    QCOMPARE(oldStartFailed.size(), 0);
}

QTEST_MAIN(TestHlvControl)
// The closed window's session goes quiet too: its key is not renewed for a bridge
// nobody uses, also not by a check that was already on its way.
void TestHlvControl::retiredBridgeStopsRenewingItsKey()
{
    const QString keyPath = QStringLiteral("/api/v2/api_key");
    BridgeFixture f;
    QVERIFY(f.startCloud(SimulatorProcess::sampleFixture()));
    // Renewals start 30 s before the key expires: this one is due at the first check.
    QVERIFY(f.cloud().addFault(QJsonObject{{QStringLiteral("path"), keyPath},
                                           {QStringLiteral("key_expires_in"), 20},
                                           {QStringLiteral("times"), 1}}));
    QVERIFY(f.createBridge(QStringLiteral("alice"), QStringLiteral("secret")));
    Auth *old = f.hlv()->auth();
    const QString oldKey = old->apiKey;
    QVERIFY(!oldKey.isEmpty());

    f.hlv()->m_exit();
    f.hlv()->retire();
    QVERIFY(f.cloud().clearRequests());
    QVERIFY(QMetaObject::invokeMethod(old->timer, "timeout"));
    QVERIFY(deliverPostedEvents());

    // The sentinel: the next window's sign-in (with the stored credentials) reaches the
    // cloud after that, alone.
    Auth current;
    QVERIFY(current.isTryLogin());
    QSignalSpy signedIn(&current, &Auth::onGetApiKeySuccess);
    QTRY_COMPARE_WITH_TIMEOUT(signedIn.size(), 1, 30000);
    const QJsonArray requests = f.cloud().requests();
    QCOMPARE(requests.size(), 1);
    QVERIFY(!SimulatorProcess::hasHeader(requests.first().toObject(), QStringLiteral("x-access-token")));
    QVERIFY(!old->timer->isActive());
    QCOMPARE(old->apiKey, oldKey);
}

#include "tst_hlvcontrol.moc"
