#include <QtTest>

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <sys/stat.h>
#include <unistd.h>

#include "bridgefixture.h"
#include "eventsentinel.h"
#include "labserver.h"
#include "model/hlvdevice.h"
#include "model/hlvsettings.h"
#include "base/loggingcontrol.h"
#include "testhome.h"
#include "vpnprocesses.h"
#include "vpn/videru.h"

namespace {

QStringList g_log;

void captureLog(QtMsgType type, const QMessageLogContext &, const QString &text)
{
    if (type == QtInfoMsg)
        g_log.append(text);
}

QJsonObject file(const QString &name, const QByteArray &content, const QString &md5 = QStringLiteral("auto"))
{
    QJsonObject element{{QStringLiteral("name"), name},
                        {QStringLiteral("file"), QString::fromLatin1(content.toBase64())}};
    if (md5 == QLatin1String("auto"))
        element.insert(QStringLiteral("md5"),
                       QString::fromLatin1(QCryptographicHash::hash(content, QCryptographicHash::Md5).toHex()));
    else if (!md5.isNull())
        element.insert(QStringLiteral("md5"), md5);
    return element;
}

QString filesBody(const QJsonArray &files)
{
    return QString::fromUtf8(QJsonDocument(QJsonObject{{QStringLiteral("files"), files}}).toJson());
}

QString md5Of(const QByteArray &content)
{
    return QString::fromLatin1(QCryptographicHash::hash(content, QCryptographicHash::Md5).toHex());
}

const QByteArray Profile = "client\ndev tun\nremote 127.0.0.1 9\nca ca.crt\nauth-user-pass\n";
const QByteArray Credentials = "vpnuser\nvpnpass";
const QByteArray Ca = "-----BEGIN CERTIFICATE-----\nnot really\n-----END CERTIFICATE-----\n";

QString line(const QString &message)
{
    return QStringLiteral("Hlv::getVpnDomainConfigSuccess(): \"") + message + QLatin1Char('"');
}

QString profileDirectory()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
}

mode_t modeOf(const QString &path)
{
    struct stat info {};
    if (stat(QFile::encodeName(path).constData(), &info) != 0)
        return 0;
    return info.st_mode & 0777;
}

} // namespace

class TestHlvVpnStart : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void replyFailures_data();
    void replyFailures();
    void failureKeepsEarlierFiles();
    void handOverWritesCleanedProfile();
    void plantedLinksAreNotWrittenThrough_data();
    void plantedLinksAreNotWrittenThrough();
    void checksBeforeRequest_data();
    void checksBeforeRequest();
    void startLastDeviceAnnouncesConnecting();
    void fullStartThroughLab();
    void switchDeviceWhileUp();

private:
    static bool labFixture(LabServer &lab, QJsonObject *fixture);

private:
    void deliverReply(Hlv *hlv, int status, const QString &body);
    QtMessageHandler m_previous = nullptr;
};

void TestHlvVpnStart::initTestCase()
{
    TestHome::setUpIdentity();
}

void TestHlvVpnStart::init()
{
    TestHome::wipe();
    QDir(profileDirectory()).removeRecursively();
    g_log.clear();
    LoggingControl::set(4, QStringLiteral("hlv_vpn"));
    m_previous = qInstallMessageHandler(captureLog);
}

void TestHlvVpnStart::cleanup()
{
    qInstallMessageHandler(m_previous);
    LoggingControl::set(0, QStringLiteral("None"));
}

void TestHlvVpnStart::deliverReply(Hlv *hlv, int status, const QString &body)
{
    QVERIFY(QMetaObject::invokeMethod(hlv, "getVpnDomainConfigSuccess", Qt::DirectConnection, Q_ARG(int, status),
                                      Q_ARG(QString, body)));
}

void TestHlvVpnStart::replyFailures_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("body");
    QTest::addColumn<QString>("message");

    const QJsonObject profile = file(QStringLiteral("client.ovpn"), Profile);
    const QJsonObject credentials = file(QStringLiteral("credentials.txt"), Credentials);
    const QString caDigest = md5Of(Ca);

    QTest::newRow("status 201") << 201 << filesBody({profile, credentials}) << "Status not 200 (201)";
    QTest::newRow("array body") << 200 << "[]" << "Doc is not object";
    QTest::newRow("not JSON") << 200 << "files" << "Doc is not object";
    QTest::newRow("no files") << 200 << "{\"other\": 1}" << "Doc not contains files";
    QTest::newRow("empty files") << 200 << filesBody({}) << "Config file path empty: ";
    QTest::newRow("missing md5") << 200 << filesBody({file(QStringLiteral("ca.crt"), Ca, QString())})
                                 << QStringLiteral("Wrong md5 for ca.crt ") + caDigest + QStringLiteral(" != ");
    QTest::newRow("upper-case md5")
        << 200 << filesBody({file(QStringLiteral("ca.crt"), Ca, caDigest.toUpper())})
        << QStringLiteral("Wrong md5 for ca.crt ") + caDigest + QStringLiteral(" != ") + caDigest.toUpper();
    QTest::newRow("credentials with final line feed")
        << 200 << filesBody({profile, file(QStringLiteral("credentials.txt"), "vpnuser\nvpnpass\n")})
        << "Credentials are not 2: 3";
    QTest::newRow("credentials of one line")
        << 200 << filesBody({profile, file(QStringLiteral("credentials.txt"), "vpnuser")}) << "Credentials are not 2: 1";
    QTest::newRow("no credentials") << 200 << filesBody({profile}) << "Username or password is empty";
    QTest::newRow("empty password") << 200
                                    << filesBody({profile, file(QStringLiteral("credentials.txt"), "vpnuser\n  \r")})
                                    << "Username or password is empty";
    QTest::newRow("no profile") << 200 << filesBody({credentials}) << "Config file path empty: ";
    QTest::newRow("parent directory") << 200 << filesBody({file(QStringLiteral("../escaped.ovpn"), Profile), credentials})
                                      << "Refused file name ../escaped.ovpn";
    QTest::newRow("sub directory") << 200 << filesBody({file(QStringLiteral("sub/client.ovpn"), Profile), credentials})
                                   << "Refused file name sub/client.ovpn";
    QTest::newRow("dot dot") << 200 << filesBody({file(QStringLiteral(".."), Profile)}) << "Refused file name ..";
    QTest::newRow("dot") << 200 << filesBody({file(QStringLiteral("."), Profile)}) << "Refused file name .";
    QTest::newRow("signed out meanwhile") << 200 << filesBody({profile, credentials}) << "Not signed in";
}

void TestHlvVpnStart::replyFailures()
{
    QFETCH(int, status);
    QFETCH(QString, body);
    QFETCH(QString, message);

    Hlv hlv;
    QSignalSpy failed(&hlv, &Hlv::onVpnStartGetConfigError);
    QSignalSpy disconnected(hlv.vpn(), &VidEru::onDisconnected);
    deliverReply(&hlv, status, body);

    QCOMPARE(failed.size(), 1);
    QVERIFY(!g_log.isEmpty());
    QCOMPARE(g_log.last(), line(message));
    // Nothing reached the controller.
    QVERIFY(hlv.vpn()->profilePath().isEmpty());
    QVERIFY(hlv.vpn()->username().isEmpty());
    QVERIFY(hlv.pendingStart() != Hlv::PendingStart::AfterDisconnect);
    QCOMPARE(disconnected.size(), 0);
    QVERIFY(!QFile::exists(QFileInfo(profileDirectory()).absolutePath() + QStringLiteral("/escaped.ovpn")));
    QVERIFY(!QFile::exists(profileDirectory() + QStringLiteral("/sub")));
    for (const QString &logged : std::as_const(g_log))
        QVERIFY2(!logged.contains(QLatin1String("vpnpass")), qPrintable(logged));
}

void TestHlvVpnStart::failureKeepsEarlierFiles()
{
    Hlv hlv;
    QSignalSpy failed(&hlv, &Hlv::onVpnStartGetConfigError);
    deliverReply(&hlv, 200,
                 filesBody({file(QStringLiteral("ca.crt"), Ca),
                            file(QStringLiteral("client.ovpn"), Profile, QStringLiteral("0123")),
                            file(QStringLiteral("credentials.txt"), Credentials)}));
    QCOMPARE(failed.size(), 1);
    QVERIFY(QFile::exists(profileDirectory() + QStringLiteral("/ca.crt")));
    QVERIFY(!QFile::exists(profileDirectory() + QStringLiteral("/client.ovpn")));
    QVERIFY(hlv.vpn()->profilePath().isEmpty());
}

void TestHlvVpnStart::handOverWritesCleanedProfile()
{
    const QByteArray profile = "client\ntls-exit\ntopology subnet\n tls-exit\ntls-exit\ntopology subnet\r\nremote 127.0.0.1 9";
    Hlv hlv;
    hlv.setLastDeviceIdForTest(7);
    hlv.auth()->authenticated = true;
    QSignalSpy failed(&hlv, &Hlv::onVpnStartGetConfigError);
    QSignalSpy disconnected(hlv.vpn(), &VidEru::onDisconnected);
    deliverReply(&hlv, 200,
                 filesBody({file(QStringLiteral("ca.crt"), Ca), file(QStringLiteral("client.ovpn"), profile),
                            file(QStringLiteral("credentials.txt"), " vpnuser \r\n\tvpn pass\r ")}));

    const QString path = profileDirectory() + QStringLiteral("/client.ovpn");
    QFile written(path);
    QVERIFY(written.open(QIODevice::ReadOnly));
    QCOMPARE(written.readAll(), QByteArray("client\n tls-exit\ntls-exit\ntopology subnet\r\nremote 127.0.0.1 9\n"));
    QCOMPARE(modeOf(path), mode_t(0600));
    QCOMPARE(modeOf(profileDirectory() + QStringLiteral("/ca.crt")), mode_t(0600));
    QCOMPARE(modeOf(profileDirectory()), mode_t(0700));
    QVERIFY(!QFile::exists(profileDirectory() + QStringLiteral("/credentials.txt")));

    // Handed over, stopped (no tunnel: at once) and the waiting start consumed.
    QCOMPARE(hlv.vpn()->profilePath(), path);
    QCOMPARE(hlv.vpn()->username(), QStringLiteral("vpnuser"));
    QCOMPARE(hlv.vpn()->password(), QStringLiteral("vpn pass"));
    QVERIFY(disconnected.size() >= 1);
    QVERIFY(hlv.pendingStart() != Hlv::PendingStart::AfterDisconnect);

    QVERIFY(g_log.contains(line(QStringLiteral("Credentials: vpnuser"))));
    for (const QString &logged : std::as_const(g_log))
        QVERIFY2(!logged.contains(QLatin1String("vpn pass")), qPrintable(logged));

    // Whatever the start did with the unreachable server, leave no tunnel behind.
    hlv.vpn()->stop();
    QTRY_COMPARE_WITH_TIMEOUT(hlv.vpn()->getStatus(), 1, 20000);
    Q_UNUSED(failed)
}

void TestHlvVpnStart::plantedLinksAreNotWrittenThrough_data()
{
    QTest::addColumn<QString>("linkName");  // "" for the profile directory itself
    QTest::newRow("profile") << "client.ovpn";
    QTest::newRow("companion file") << "ca.crt";
    QTest::newRow("profile directory") << "";
}

void TestHlvVpnStart::plantedLinksAreNotWrittenThrough()
{
    // Someone who can write where the profile files go plants a link there: the
    // files of the reply must not reach the link's target, nor change its mode.
    QFETCH(QString, linkName);
    QTemporaryDir elsewhere;
    QVERIFY(elsewhere.isValid());
    QCOMPARE(::chmod(QFile::encodeName(elsewhere.path()).constData(), 0755), 0);
    const QString victim = elsewhere.filePath(QStringLiteral("client.ovpn"));
    const QByteArray content = "precious\n";
    {
        QFile file(victim);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QCOMPARE(file.write(content), content.size());
    }
    QCOMPARE(::chmod(QFile::encodeName(victim).constData(), 0644), 0);

    const QString directory = profileDirectory();
    if (linkName.isEmpty()) {
        QVERIFY(QDir().mkpath(QFileInfo(directory).absolutePath()));
        QVERIFY(QFile::link(elsewhere.path(), directory));
    } else {
        QVERIFY(QDir().mkpath(directory));
        QVERIFY(QFile::link(victim, directory + QLatin1Char('/') + linkName));
    }
    const auto removeLink = qScopeGuard([&] { QFile::remove(directory); });

    Hlv hlv;
    QSignalSpy failed(&hlv, &Hlv::onVpnStartGetConfigError);
    deliverReply(&hlv, 200,
                 filesBody({file(QStringLiteral("ca.crt"), Ca), file(QStringLiteral("client.ovpn"), Profile),
                            file(QStringLiteral("credentials.txt"), Credentials)}));
    // Not signed in: the reply ends after its files are written.
    QCOMPARE(failed.size(), 1);
    if (linkName.isEmpty()) {
        QCOMPARE(g_log.last(), line(QStringLiteral("Refused dir ") + directory + QStringLiteral(": not a directory of its own")));
        QVERIFY(QFileInfo(directory).isSymLink());
        QCOMPARE(modeOf(elsewhere.path()), mode_t(0755));
    } else {
        QCOMPARE(g_log.last(), line(QStringLiteral("Not signed in")));
        // The link was replaced by the file itself.
        const QString path = directory + QLatin1Char('/') + linkName;
        QVERIFY(!QFileInfo(path).isSymLink());
        QCOMPARE(modeOf(path), mode_t(0600));
        QFile written(path);
        QVERIFY(written.open(QIODevice::ReadOnly));
        QCOMPARE(written.readAll(), (linkName == QLatin1String("ca.crt") ? Ca : Profile) + '\n');
        QCOMPARE(QDir(directory).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 (QStringList{QStringLiteral("ca.crt"), QStringLiteral("client.ovpn")}));
    }

    QFile file(victim);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), content);
    QCOMPARE(modeOf(victim), mode_t(0644));
    QCOMPARE(QDir(elsewhere.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList{QStringLiteral("client.ovpn")});
}

void TestHlvVpnStart::checksBeforeRequest_data()
{
    QTest::addColumn<bool>("signedIn");
    QTest::addColumn<int>("device");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("signal");

    QTest::newRow("not signed in") << false << 7 << "Not authenticated" << "notAuthenticated";
    QTest::newRow("unknown device") << true << 999 << "Domain is NULL" << "invalidDomain";
    QTest::newRow("domain without VPN") << true << 51 << "Domain has not the VPN" << "invalidDomain";
    QTest::newRow("offline device") << true << 8 << "Device is OFFLINE" << "disconnected";
}

void TestHlvVpnStart::checksBeforeRequest()
{
    QFETCH(bool, signedIn);
    QFETCH(int, device);
    QFETCH(QString, message);
    QFETCH(QString, signal);

    QJsonObject fixture = SimulatorProcess::sampleFixture();
    QJsonArray domains = fixture.value(QStringLiteral("domains")).toArray();
    domains.append(BridgeFixture::domain(50, QStringLiteral("No VPN"), false,
                                         {BridgeFixture::device(51, 50, QStringLiteral("n1"), 1)}));
    fixture.insert(QStringLiteral("domains"), domains);
    BridgeFixture f;
    QVERIFY(f.startCloud(fixture));
    QVERIFY(f.createBridge(QStringLiteral("alice"), QStringLiteral("secret")));
    if (!signedIn)
        f.hlv()->auth()->logout();
    f.cloud().clearRequests();
    g_log.clear();

    QSignalSpy notAuthenticated(f.hlv(), &Hlv::onVpnStartNotAuthenticated);
    QSignalSpy invalidDomain(f.hlv(), &Hlv::onVpnStartInvalidDomain);
    QSignalSpy disconnected(f.hlv()->vpn(), &VidEru::onDisconnected);
    const int statusBefore = f.hlv()->vpn()->getStatus();
    f.hlv()->startVpnDevice(device);

    QCOMPARE(g_log, QStringList{QStringLiteral("Hlv::startVpnDevice(): \"") + message + QLatin1Char('"')});
    QCOMPARE(notAuthenticated.size(), signal == QLatin1String("notAuthenticated") ? 1 : 0);
    QCOMPARE(invalidDomain.size(), signal == QLatin1String("invalidDomain") ? 1 : 0);
    QCOMPARE(disconnected.size(), signal == QLatin1String("disconnected") ? 1 : 0);
    QCOMPARE(f.hlv()->vpn()->getStatus(), statusBefore);
    // The refusal is the only line: the start never reached "Getting VPN domain config...",
    // also not from anything it posted.
    QVERIFY(deliverPostedEvents(f.hlv()));
    QCOMPARE(g_log, QStringList{QStringLiteral("Hlv::startVpnDevice(): \"") + message + QLatin1Char('"')});
    QCOMPARE(f.requestCount(QStringLiteral("/api/v2/vpn/domain/42")), 0);
}

void TestHlvVpnStart::startLastDeviceAnnouncesConnecting()
{
    Hlv hlv;
    hlv.setLastDeviceIdForTest(5);
    QSignalSpy connecting(hlv.vpn(), &VidEru::onConnecting);
    QSignalSpy notAuthenticated(&hlv, &Hlv::onVpnStartNotAuthenticated);
    hlv.startVpnLastDevice(true);
    QCOMPARE(connecting.size(), 1);
    QCOMPARE(connecting.first().first().toInt(), 5);
    QCOMPARE(notAuthenticated.size(), 1);
    hlv.startVpnLastDevice(false);
    QCOMPARE(connecting.size(), 1);
}

// Brings the lab up, and gives the sample cloud with the lab's profile, CA and
// credentials as domain 42's VPN files.
bool TestHlvVpnStart::labFixture(LabServer &lab, QJsonObject *fixture)
{
    if (!lab.up())
        return false;
    QFile profile(lab.profilePath());
    QFile ca(lab.clientDirectory() + QStringLiteral("/ca.crt"));
    if (!profile.open(QIODevice::ReadOnly) || !ca.open(QIODevice::ReadOnly))
        return false;
    *fixture = SimulatorProcess::sampleFixture();
    QJsonArray domains = fixture->value(QStringLiteral("domains")).toArray();
    QJsonObject domain42 = domains.at(0).toObject();
    domain42.insert(QStringLiteral("vpn_files"),
                    QJsonArray{QJsonObject{{QStringLiteral("name"), QStringLiteral("ca.crt")},
                                           {QStringLiteral("content"), QString::fromUtf8(ca.readAll())}},
                               QJsonObject{{QStringLiteral("name"), QStringLiteral("client.ovpn")},
                                           {QStringLiteral("content"), QString::fromUtf8(profile.readAll())}},
                               QJsonObject{{QStringLiteral("name"), QStringLiteral("credentials.txt")},
                                           {QStringLiteral("content"), QString(lab.username() + QLatin1Char('\n') + lab.password())}}});
    domains.replace(0, domain42);
    fixture->insert(QStringLiteral("domains"), domains);
    return true;
}

void TestHlvVpnStart::fullStartThroughLab()
{
    if (!LabServer::unavailableReason().isEmpty())
        QSKIP(qPrintable(LabServer::unavailableReason()));
    LabServer lab;
    QJsonObject fixture;
    QVERIFY2(labFixture(lab, &fixture), qPrintable(lab.error()));

    BridgeFixture f;
    QVERIFY(f.startCloud(fixture));
    QVERIFY(f.createBridge(QStringLiteral("alice"), QStringLiteral("secret")));
    Hlv *hlv = f.hlv();

    const QJsonObject idle = hlv->getVpnStatsJson();
    for (const char *key : {"bytesIn", "bytesOut", "packetsIn", "packetsOut", "lastPacketReceived"})
        QCOMPARE(idle.value(QLatin1String(key)).toInteger(), 0);

    QSignalSpy connected(hlv->vpn(), &VidEru::onConnected);
    hlv->startVpnDevice(7);
    QTRY_COMPARE_WITH_TIMEOUT(connected.size(), 1, 30000);
    QCOMPARE(connected.first().first().toInt(), 7);
    QCOMPARE(hlv->vpn()->getStatus(), 3);
    {
        HlvSettings settings;
        QCOMPARE(settings.value(QStringLiteral("vpn/last_device_id")).toInt(), 7);
    }

    const QJsonObject first = hlv->getVpnStatsJson();
    QProcess ping;
    ping.start(QStringLiteral("ping"), {QStringLiteral("-c"), QStringLiteral("5"), QStringLiteral("-i"),
                                        QStringLiteral("0.2"), lab.value(QStringLiteral("LAB_VPN_SERVER_ADDR"))});
    QVERIFY(ping.waitForFinished(20000));
    QCOMPARE(ping.exitCode(), 0);
    // Packet counts come from the interface, byte counts from the daemon's
    // once-a-second report: wait for both to move.
    QTRY_VERIFY_WITH_TIMEOUT(hlv->getVpnStatsJson().value(QStringLiteral("packetsIn")).toInteger()
                                 > first.value(QStringLiteral("packetsIn")).toInteger(),
                             10000);
    QTRY_VERIFY_WITH_TIMEOUT(hlv->getVpnStatsJson().value(QStringLiteral("bytesIn")).toInteger()
                                 > first.value(QStringLiteral("bytesIn")).toInteger(),
                             10000);
    const QJsonObject later = hlv->getVpnStatsJson();
    QVERIFY(later.value(QStringLiteral("packetsOut")).toInteger() >= 5);
    QVERIFY(later.value(QStringLiteral("lastPacketReceived")).toInteger() >= 0);
    QVERIFY(later.value(QStringLiteral("lastPacketReceived")).toInteger() < 10 * 1024);

    QSignalSpy disconnected(hlv->vpn(), &VidEru::onDisconnected);
    hlv->stopVpn();
    QTRY_COMPARE_WITH_TIMEOUT(disconnected.size(), 1, 20000);
    QCOMPARE(hlv->vpn()->getStatus(), 1);
    const QJsonObject stopped = hlv->getVpnStatsJson();
    for (const char *key : {"bytesIn", "bytesOut", "packetsIn", "packetsOut", "lastPacketReceived"})
        QCOMPARE(stopped.value(QLatin1String(key)).toInteger(), 0);
}

// Another device's tunnel while one is up: the bridge ends the first, and once it is
// down starts the second with a fresh configuration; one daemon at a time.
void TestHlvVpnStart::switchDeviceWhileUp()
{
    if (!LabServer::unavailableReason().isEmpty())
        QSKIP(qPrintable(LabServer::unavailableReason()));
    LabServer lab;
    QJsonObject fixture;
    QVERIFY2(labFixture(lab, &fixture), qPrintable(lab.error()));
    // Device 8 of domain 42 online too.
    QJsonArray domains = fixture.value(QStringLiteral("domains")).toArray();
    QJsonObject domain42 = domains.at(0).toObject();
    QJsonArray devices = domain42.value(QStringLiteral("devices")).toArray();
    QJsonObject device8 = devices.at(1).toObject();
    QCOMPARE(device8.value(QStringLiteral("id")).toInt(), 8);
    device8.insert(QStringLiteral("vpn_status"), 1);
    devices.replace(1, device8);
    domain42.insert(QStringLiteral("devices"), devices);
    domains.replace(0, domain42);
    fixture.insert(QStringLiteral("domains"), domains);
    BridgeFixture f;
    QVERIFY(f.startCloud(fixture));
    QVERIFY(f.createBridge(QStringLiteral("alice"), QStringLiteral("secret")));
    Hlv *hlv = f.hlv();

    QSignalSpy connected(hlv->vpn(), &VidEru::onConnected);
    hlv->startVpnDevice(7);
    QTRY_COMPARE_WITH_TIMEOUT(connected.size(), 1, 30000);
    QCOMPARE(hlv->vpn()->getDeviceId(), 7);

    // What the page hears: the first tunnel's end (the controller idle by then), then
    // the second's start; nothing of the first after that.
    QStringList trail;
    connect(hlv->vpn(), &VidEru::onConnecting, this, [&] { trail << QStringLiteral("connecting"); });
    connect(hlv->vpn(), &VidEru::onConnected, this,
            [&](int device) { trail << QStringLiteral("connected %1").arg(device); });
    connect(hlv->vpn(), &VidEru::onDisconnected, this,
            [&] { trail << QStringLiteral("disconnected, status %1").arg(hlv->vpn()->getStatus()); });
    hlv->startVpnDevice(8);
    QTRY_COMPARE_WITH_TIMEOUT(connected.size(), 2, 60000);
    QCOMPARE(trail, (QStringList{QStringLiteral("disconnected, status 1"), QStringLiteral("connecting"),
                                 QStringLiteral("connected 8")}));
    QCOMPARE(hlv->vpn()->getDeviceId(), 8);
    QCOMPARE(hlv->vpn()->getStatus(), 3);
    QCOMPARE(f.requestCount(QStringLiteral("/api/v2/vpn/domain/42")), 2);
    QCOMPARE(VpnProcesses::openvpnChildren(::getpid()).size(), 1);
    {
        HlvSettings settings;
        QCOMPARE(settings.value(QStringLiteral("vpn/last_device_id")).toInt(), 8);
    }

    hlv->stopVpn();
    QTRY_COMPARE_WITH_TIMEOUT(trail.size(), 4, 20000);
    QCOMPARE(trail.last(), QStringLiteral("disconnected, status 1"));
    QTRY_VERIFY_WITH_TIMEOUT(VpnProcesses::openvpnChildren(::getpid()).isEmpty(), 15000);
    QVERIFY(deliverPostedEvents());
    QCOMPARE(trail.size(), 4);
    QCOMPARE(connected.size(), 2);
}

QTEST_MAIN(TestHlvVpnStart)
#include "tst_hlvvpnstart.moc"
