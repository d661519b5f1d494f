#include <QtTest>

#include <QLocalServer>
#include <QLocalSocket>
#include <QScopeGuard>

#include <grp.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

#include "helperprocess.h"
#include "labserver.h"
#include "logcapture.h"
#include "recordingclient.h"
#include "testhome.h"
#include "vpn/ovpnclient.h"
#include "vpn/ovpndaemonprofile.h"
#include "vpn/ovpndaemonsession.h"
#include "vpn/videru.h"
#include "vpn/viderutransportstats.h"
#include "vpnprocesses.h"

// The unprivileged start: the application asks the root helper corrivo2-helper for its
// daemon. The tests run as root, so CORRIVO_VPN_LAUNCH=helper chooses that way; the
// helper serves root like any member of its group.

namespace {

constexpr int ConnectTimeoutMs = 30000;
// The desktop user of the unprivileged run, with its primary group.
constexpr uid_t Nobody = 65534;
constexpr gid_t NoGroup = 65534;

// VidEru in a process of its own (tests/vpn/vpnholder.cpp).
QString holderProgram()
{
    const QString configured = qEnvironmentVariable("CORRIVO_VPNHOLDER");
    return configured.isEmpty() ? QCoreApplication::applicationDirPath() + QStringLiteral("/vpnholder") : configured;
}

// A directory of nobody's own, as a desktop user has its home.
bool giveToNobody(const QString &path)
{
    return ::chown(QFile::encodeName(path).constData(), Nobody, NoGroup) == 0;
}

struct Recorder
{
    explicit Recorder(VidEru &vpn)
        : connected(&vpn, &VidEru::onConnected)
        , disconnected(&vpn, &VidEru::onDisconnected)
    {
    }
    QSignalSpy connected;
    QSignalSpy disconnected;
};

QString writeProfile(const QTemporaryDir &dir, const QByteArray &content)
{
    QFile file(dir.filePath(QStringLiteral("client.ovpn")));
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
        return QString();
    return file.fileName();
}

// Stands between the application and the helper: passes every byte on both ways, and
// right after the helper's "started" line adds a line of its own to what the
// application reads, as a helper that configures the tunnel's network sends it.
class HelperLineInjector
{
public:
    HelperLineInjector(const QString &upstream, const QByteArray &line)
        : m_upstream(upstream)
        , m_line(line)
    {
        QObject::connect(&m_server, &QLocalServer::newConnection, &m_server, [this] { accept(); });
    }

    bool listen(const QString &path) { return m_server.listen(path); }
    QString path() const { return m_server.fullServerName(); }
    bool injected() const { return m_injected; }

private:
    void accept()
    {
        while (QLocalSocket *client = m_server.nextPendingConnection()) {
            auto *helper = new QLocalSocket(client);
            helper->connectToServer(m_upstream);
            if (!helper->waitForConnected(5000)) {
                client->abort();
                continue;
            }
            QObject::connect(client, &QLocalSocket::readyRead, helper, [client, helper] { helper->write(client->readAll()); });
            QObject::connect(helper, &QLocalSocket::readyRead, client, [this, client, helper] {
                while (helper->canReadLine()) {
                    const QByteArray line = helper->readLine();
                    client->write(line);
                    if (line.startsWith("{\"event\":\"started\"")) {
                        client->write(m_line);
                        m_injected = true;
                    }
                }
            });
            QObject::connect(helper, &QLocalSocket::disconnected, client, [client] { client->disconnectFromServer(); });
            QObject::connect(client, &QLocalSocket::disconnected, helper, [helper] { helper->disconnectFromServer(); });
            helper->write(client->readAll());
        }
    }

    QLocalServer m_server;
    QString m_upstream;
    QByteArray m_line;
    bool m_injected = false;
};

} // namespace

class TestHelperLaunch : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();

    void helperAbsent();
    void helperRefusesProfile();
    void tunnelUpAndDownThroughHelper();
    void stopBeforeTheDaemonRuns();
    void helperKilledMidTunnel();
    void unprivilegedApplication();
    void dnsReportOfTheHelper_data();
    void dnsReportOfTheHelper();

private:
    void useLab(VidEru &vpn);
    bool startTunnel(VidEru &vpn, Recorder &recorder);

    std::unique_ptr<LabServer> m_lab;
    QString m_labError;
};

void TestHelperLaunch::initTestCase()
{
    TestHome::setUpIdentity();
    m_lab = LabServer::forTestCase(&m_labError);
}

void TestHelperLaunch::cleanupTestCase()
{
    m_lab.reset();
}

void TestHelperLaunch::init()
{
    qputenv("CORRIVO_VPN_LAUNCH", "helper");
}

void TestHelperLaunch::cleanup()
{
    qunsetenv("CORRIVO_VPN_LAUNCH");
    // Never a daemon of our own: the helper started them all.
    QVERIFY(VpnProcesses::openvpnChildren(::getpid()).isEmpty());
}

void TestHelperLaunch::useLab(VidEru &vpn)
{
    vpn.setProfilePath(m_lab->profilePath());
    vpn.setCredentials(m_lab->username(), m_lab->password());
}

bool TestHelperLaunch::startTunnel(VidEru &vpn, Recorder &recorder)
{
    useLab(vpn);
    if (!vpn.start())
        return false;
    return QTest::qWaitFor([&] { return vpn.getStatus() == 3 || recorder.disconnected.count() > 0; }, ConnectTimeoutMs)
        && vpn.getStatus() == 3;
}

void TestHelperLaunch::helperAbsent()
{
    // Nothing listens where the helper should: the start fails with that said, and the
    // controller ends disconnected as after any daemon that could not start.
    QTemporaryDir dir;
    const QString socket = dir.filePath(QStringLiteral("helper.sock"));
    qputenv("CORRIVO_HELPER_SOCKET", QFile::encodeName(socket));
    const QString profile = writeProfile(dir, "client\ndev tun\nremote 192.0.2.1 1194\nauth-user-pass\n");
    QVERIFY(!profile.isEmpty());

    LogCapture log(4);  // outlives the controller: its worker logs until it ends
    VidEru vpn;
    Recorder recorder(vpn);
    vpn.setProfilePath(profile);
    vpn.setCredentials(QStringLiteral("user"), QStringLiteral("secret"));
    QVERIFY(vpn.start());
    QTRY_COMPARE_WITH_TIMEOUT(recorder.disconnected.count(), 1, 10000);
    qunsetenv("CORRIVO_HELPER_SOCKET");
    QCOMPARE(vpn.getStatus(), 1);
    QCOMPARE(recorder.connected.count(), 0);
    QVERIFY(log.contains(QStringLiteral("Error status: HELPER_UNAVAILABLE")));
    QVERIFY2(log.contains(QStringLiteral("Error message: the helper corrivo2-helper is not running (nothing listens on %1)")
                              .arg(socket)),
             qPrintable(log.lines().join(QLatin1Char('\n'))));
}

void TestHelperLaunch::helperRefusesProfile()
{
    if (!HelperProcess::unavailableReason().isEmpty())
        QSKIP("the helper runs as root");
    HelperProcess helper;
    QVERIFY2(helper.start(), qPrintable(helper.errorString()));

    // The helper filters every profile again, whatever a client let through: one the
    // application would never send shows it.
    const std::string text = "client\ndev tun\nremote 192.0.2.1 1194\nup /bin/sh\n";
    ovpn::Config helperView;
    helperView.content = text;
    helperView.ipv6 = "yes";
    const ovpn::DaemonProfile filter(helperView);
    QVERIFY(filter.eval().error);
    const QString reason = QString::fromStdString(filter.eval().message);

    ovpn::SessionSettings settings;
    settings.evaluated = true;
    settings.profile = text;
    RecordingClient client;
    ovpn::DaemonSession session(client, settings);
    const ovpn::Status status = session.run();
    QVERIFY(status.error);
    QCOMPARE(QString::fromStdString(status.status), QStringLiteral("HELPER_REFUSED"));
    const QString message = QString::fromStdString(status.message);
    QCOMPARE(message, QStringLiteral("corrivo2-helper refused to start openvpn: ") + reason);
    QVERIFY(client.logs().contains(message));
    // Nothing ran, so nothing was announced.
    QVERIFY(client.recorded().isEmpty());
    QVERIFY(VpnProcesses::openvpnChildren(helper.pid()).isEmpty());
}

void TestHelperLaunch::tunnelUpAndDownThroughHelper()
{
    REQUIRE_LAB();
    HelperProcess helper;
    QVERIFY2(helper.start(), qPrintable(helper.errorString()));

    VidEru vpn;
    Recorder recorder(vpn);
    vpn.setDeviceId(42);
    QVERIFY2(startTunnel(vpn, recorder), qPrintable(QString::fromUtf8(helper.log())));
    QCOMPARE(recorder.connected.count(), 1);
    QCOMPARE(recorder.connected.first().first().toInt(), 42);

    // The daemon is the helper's child, not ours, and its management channel reaches
    // us through the helper: the byte counts arrive.
    const QList<pid_t> daemons = VpnProcesses::openvpnChildren(helper.pid());
    QCOMPARE(daemons.size(), 1);
    QVERIFY(VpnProcesses::openvpnChildren(::getpid()).isEmpty());
    QTRY_VERIFY_WITH_TIMEOUT(std::unique_ptr<VidEruTransportStats>(vpn.getTransportStats())->bytesIn > 0, 5000);

    QVERIFY(vpn.stop());
    QTRY_COMPARE_WITH_TIMEOUT(recorder.disconnected.count(), 1, 15000);
    QCOMPARE(vpn.getStatus(), 1);
    QTRY_VERIFY_WITH_TIMEOUT(!VpnProcesses::isAlive(daemons.first()), 10000);
    QVERIFY(VpnProcesses::openvpnChildren(helper.pid()).isEmpty());
}

void TestHelperLaunch::stopBeforeTheDaemonRuns()
{
    REQUIRE_LAB();
    HelperProcess helper;
    QVERIFY2(helper.start(), qPrintable(helper.errorString()));

    // Stopped before the daemon has a management channel to be asked on: the helper
    // connection is closed instead, and the helper leaves nothing running.
    VidEru vpn;
    Recorder recorder(vpn);
    useLab(vpn);
    QVERIFY(vpn.start());
    QVERIFY(vpn.stop());
    QTRY_COMPARE_WITH_TIMEOUT(recorder.disconnected.count(), 1, 15000);
    QCOMPARE(vpn.getStatus(), 1);
    QCOMPARE(recorder.connected.count(), 0);
    QTRY_VERIFY_WITH_TIMEOUT(VpnProcesses::openvpnChildren(helper.pid()).isEmpty(), 10000);
}

void TestHelperLaunch::helperKilledMidTunnel()
{
    REQUIRE_LAB();
    HelperProcess helper;
    QVERIFY2(helper.start(), qPrintable(helper.errorString()));

    LogCapture log(4);  // outlives the controller: its worker logs until it ends
    VidEru vpn;
    Recorder recorder(vpn);
    QVERIFY2(startTunnel(vpn, recorder), qPrintable(QString::fromUtf8(helper.log())));
    const QList<pid_t> daemons = VpnProcesses::openvpnChildren(helper.pid());
    QCOMPARE(daemons.size(), 1);

    helper.kill();
    QTRY_COMPARE_WITH_TIMEOUT(recorder.disconnected.count(), 1, 15000);
    QCOMPARE(vpn.getStatus(), 1);
    QVERIFY(log.contains(QStringLiteral("the connection to corrivo2-helper ended while openvpn ran")));
    // The daemon dies with its helper.
    QTRY_VERIFY_WITH_TIMEOUT(!VpnProcesses::isAlive(daemons.first()), 10000);
}

void TestHelperLaunch::unprivilegedApplication()
{
    REQUIRE_LAB();
    // The whole way as a desktop user takes it: the application runs as nobody, chooses
    // the helper by itself, and the helper serves nobody as a member of its group.
    HelperProcess helper(QStringLiteral("nogroup"));
    QVERIFY2(helper.start(), qPrintable(helper.errorString()));
    QVERIFY(QFile::setPermissions(helper.directory(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
                                                          | QFile::ReadOther | QFile::ExeOther));

    QTemporaryDir home;
    QVERIFY(home.isValid());
    const QString temp = home.filePath(QStringLiteral("tmp"));
    const QString profiles = home.filePath(QStringLiteral("profiles"));
    QVERIFY(QDir().mkdir(temp) && QDir().mkdir(profiles));
    for (const QString &path : {home.path(), temp, profiles})
        QVERIFY(giveToNobody(path));
    const QDir labFiles(m_lab->clientDirectory());
    for (const QString &name : labFiles.entryList(QDir::Files))
        QVERIFY(QFile::copy(labFiles.filePath(name), QDir(profiles).filePath(name)));
    const QString profile = QDir(profiles).filePath(QFileInfo(m_lab->profilePath()).fileName());

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("CORRIVO_VPN_LAUNCH"));
    environment.insert(QStringLiteral("CORRIVO_HELPER_SOCKET"), helper.socketPath());
    environment.insert(QStringLiteral("HOME"), home.path());
    environment.insert(QStringLiteral("TMPDIR"), temp);
    QProcess holder;
    const auto endHolder = qScopeGuard([&holder] {
        holder.kill();
        holder.waitForFinished(5000);
    });
    holder.setProcessEnvironment(environment);
    holder.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    holder.setChildProcessModifier([] {
        if (::setgroups(0, nullptr) != 0 || ::setgid(NoGroup) != 0 || ::setuid(Nobody) != 0)
            ::_exit(120);
    });
    holder.start(holderProgram(), {profile, m_lab->username(), m_lab->password()});
    QVERIFY2(holder.waitForStarted(10000), qPrintable(holder.errorString()));
    QByteArray output;
    QVERIFY(QTest::qWaitFor([&] {
        return (output += holder.readAllStandardOutput()).contains("CONNECTED") || holder.state() == QProcess::NotRunning;
    }, ConnectTimeoutMs));
    QVERIFY2(output.contains("CONNECTED") && !output.contains("DISCONNECTED"),
             qPrintable(QString::fromUtf8(output + helper.log())));

    // The daemon is the helper's; the application's management socket sits in a private
    // directory of nobody's own under its TMPDIR.
    const QList<pid_t> daemons = VpnProcesses::openvpnChildren(helper.pid());
    QCOMPARE(daemons.size(), 1);
    QVERIFY(VpnProcesses::openvpnChildren(pid_t(holder.processId())).isEmpty());
    const QStringList privateDirectories = QDir(temp).entryList({QStringLiteral("corrivo-ovpn-*")}, QDir::Dirs);
    QCOMPARE(privateDirectories.size(), 1);
    struct stat status;
    QCOMPARE(::lstat(QFile::encodeName(QDir(temp).filePath(privateDirectories.first())).constData(), &status), 0);
    QCOMPARE(status.st_uid, Nobody);
    QCOMPARE(status.st_mode & 07777, mode_t(0700));

    // Closing the application stops the tunnel and leaves nothing behind.
    QCOMPARE(holder.write("EXIT\n"), qint64(5));
    QVERIFY(holder.waitForFinished(20000));
    QCOMPARE(holder.exitStatus(), QProcess::NormalExit);
    QCOMPARE(holder.exitCode(), 0);
    QTRY_VERIFY_WITH_TIMEOUT(!VpnProcesses::isAlive(daemons.first()), 10000);
    QVERIFY(QDir(temp).entryList({QStringLiteral("corrivo-ovpn-*")}, QDir::Dirs).isEmpty());
}

// The helper's word on the tunnel's DNS settings reaches the controller with the
// tunnel up, for the page; a malformed one is dropped; the tunnel's end clears it.
void TestHelperLaunch::dnsReportOfTheHelper_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QString>("failure");
    QTest::addColumn<QString>("logged");
    const QString none = QStringLiteral("neither systemd-resolved nor resolvconf is available");
    QTest::newRow("not applied") << QByteArray(R"({"event":"dns","applied":false,"reason":")") + none.toUtf8() + "\"}"
                                 << none << QStringLiteral("DNS not applied: ") + none;
    QTest::newRow("applied") << QByteArray(R"({"event":"dns","applied":true})") << QString()
                             << QStringLiteral("DNS applied");
    QTest::newRow("no reason") << QByteArray(R"({"event":"dns","applied":false})")
                               << QStringLiteral("the helper gave no reason")
                               << QStringLiteral("DNS not applied: the helper gave no reason");
    QTest::newRow("reason on lines") << QByteArray(R"({"event":"dns","applied":false,"reason":"one\ntwo"})")
                                     << QStringLiteral("one two") << QStringLiteral("DNS not applied: one two");
    QTest::newRow("not a boolean") << QByteArray(R"({"event":"dns","applied":"false","reason":"x"})") << QString()
                                   << QString();
}

void TestHelperLaunch::dnsReportOfTheHelper()
{
    QFETCH(QByteArray, line);
    QFETCH(QString, failure);
    QFETCH(QString, logged);
    REQUIRE_LAB();
    HelperProcess helper;
    QVERIFY2(helper.start(), qPrintable(helper.errorString()));
    QTemporaryDir dir;
    HelperLineInjector injector(helper.socketPath(), line + '\n');
    QVERIFY(injector.listen(dir.filePath(QStringLiteral("helper.sock"))));
    // HelperProcess restores the variable when it goes.
    qputenv("CORRIVO_HELPER_SOCKET", QFile::encodeName(injector.path()));

    LogCapture log(4);
    VidEru vpn;
    Recorder recorder(vpn);
    QSignalSpy notApplied(&vpn, &VidEru::onDnsNotApplied);
    QVERIFY2(startTunnel(vpn, recorder), qPrintable(QString::fromUtf8(helper.log())));
    QVERIFY(injector.injected());
    // The line follows "started", long before the tunnel is up, and the worker's events
    // reach the controller in order: it has the word by now.
    QCOMPARE(vpn.getDnsFailure(), failure);
    QCOMPARE(notApplied.count(), failure.isEmpty() ? 0 : 1);
    if (!failure.isEmpty())
        QCOMPARE(notApplied.first().first().toString(), failure);
    const QStringList said = log.lines().filter(QStringLiteral("VidEru::dnsReported"));
    if (logged.isEmpty()) {
        QVERIFY2(said.isEmpty(), qPrintable(said.join(QLatin1Char('\n'))));
    } else {
        QCOMPARE(said.size(), 1);
        QVERIFY2(said.first().contains(logged), qPrintable(said.first()));
    }

    QVERIFY(vpn.stop());
    QTRY_COMPARE_WITH_TIMEOUT(recorder.disconnected.count(), 1, 15000);
    QCOMPARE(vpn.getDnsFailure(), QString());
}

QTEST_GUILESS_MAIN(TestHelperLaunch)
#include "tst_helperlaunch.moc"
