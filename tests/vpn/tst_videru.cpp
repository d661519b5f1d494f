#include <QtTest>

#include <QHostAddress>
#include <QNetworkInterface>
#include <QTcpSocket>

#include <QDeadlineTimer>
#include <QMutex>
#include <QThread>
#include <QWaitCondition>

#include <limits>
#include <memory>
#include <unistd.h>

#include "labserver.h"
#include "logcapture.h"
#include "testhome.h"
#include "vpn/videru.h"
#include "vpn/viderusignals.h"
#include "vpn/viderutransportstats.h"
#include "eventsentinel.h"
#include "vpnprocesses.h"

namespace {

constexpr int ConnectTimeoutMs = 30000;

// Every status the controller announces, in order, with the value it held when
// the signal went out.
struct Recorder
{
    explicit Recorder(VidEru &vpn)
        : connecting(&vpn, &VidEru::onConnecting)
        , connected(&vpn, &VidEru::onConnected)
        , disconnected(&vpn, &VidEru::onDisconnected)
        , notPermitted(&vpn, &VidEru::onOperationNotPermitted)
    {
        const auto note = [this, &vpn](const char *what) { trail.append(QStringLiteral("%1:%2").arg(QLatin1String(what)).arg(vpn.getStatus())); };
        QObject::connect(&vpn, &VidEru::onConnecting, &vpn, [note] { note("connecting"); });
        QObject::connect(&vpn, &VidEru::onConnected, &vpn, [note] { note("connected"); });
        QObject::connect(&vpn, &VidEru::onDisconnected, &vpn, [note] { note("disconnected"); });
        QObject::connect(&vpn, &VidEru::onOperationNotPermitted, &vpn, [note] { note("notPermitted"); });
    }

    QSignalSpy connecting;
    QSignalSpy connected;
    QSignalSpy disconnected;
    QSignalSpy notPermitted;
    QStringList trail;
};

// Leaves no tunnel behind, whatever the test did: stops the controller and waits
// for this process's daemons to end.
struct VpnGuard
{
    explicit VpnGuard(VidEru &vpn)
        : vpn(vpn)
    {
    }
    ~VpnGuard()
    {
        if (vpn.getStatus() != 1)
            vpn.stop();
        const bool ended = QTest::qWaitFor([] { return VpnProcesses::openvpnChildren(::getpid()).isEmpty(); }, 15000);
        if (!ended)
            qWarning("an openvpn daemon of this test is still running");
        // Let finished workers delete themselves.
        QTest::qWait(50);
    }
    VidEru &vpn;
};

// A controller with its log, its recorder and its guard, torn down in that reverse
// order: the guard waits for the workers, which log until they end, so the capture
// (and the logging switch it sets) must outlive it.
struct Controlled
{
    LogCapture log{4};
    VidEru vpn;
    Recorder recorder{vpn};
    VpnGuard guard{vpn};
};

// Holds the first thread other than the test's own that logs a line containing a
// given text, inside that log call, until release(); the line still reaches the
// handler installed before. The client logs each event just before it relays it, so
// holding a worker on its "Event DISCONNECTED" line delays that one event the way a
// slow daemon would, without depending on timing.
class LogHold
{
public:
    explicit LogHold(const QString &text)
    {
        QMutexLocker locker(&s_mutex);
        s_text = text;
        s_state = State::Armed;
        s_testThread = QThread::currentThread();
        s_previous = qInstallMessageHandler(handle);
    }
    ~LogHold()
    {
        release();
        qInstallMessageHandler(s_previous);
    }

    bool holding() const
    {
        QMutexLocker locker(&s_mutex);
        return s_state == State::Holding;
    }
    void release()
    {
        QMutexLocker locker(&s_mutex);
        s_state = State::Released;
        s_released.wakeAll();
    }

private:
    enum class State { Armed, Holding, Released };

    static void handle(QtMsgType type, const QMessageLogContext &context, const QString &message)
    {
        if (s_previous)
            s_previous(type, context, message);
        QMutexLocker locker(&s_mutex);
        if (s_state != State::Armed || QThread::currentThread() == s_testThread || !message.contains(s_text))
            return;
        s_state = State::Holding;
        // Bounded, so that a test failing before its release() cannot hang the worker.
        const QDeadlineTimer deadline(60000);
        while (s_state == State::Holding && !deadline.hasExpired())
            s_released.wait(&s_mutex, deadline);
        s_state = State::Released;
    }

    static inline QMutex s_mutex;
    static inline QWaitCondition s_released;
    static inline QString s_text;
    static inline State s_state = State::Released;
    static inline QThread *s_testThread = nullptr;
    static inline QtMessageHandler s_previous = nullptr;
};

// A small profile in dir, or "" when it cannot be written.
QString writeFile(const QTemporaryDir &dir, const QByteArray &content)
{
    QFile file(dir.filePath(QStringLiteral("client.ovpn")));
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
        return QString();
    return file.fileName();
}

bool hasAddressIn(const QString &subnet)
{
    const QPair<QHostAddress, int> net = QHostAddress::parseSubnet(subnet);
    const QList<QHostAddress> addresses = QNetworkInterface::allAddresses();
    for (const QHostAddress &address : addresses) {
        if (address.isInSubnet(net))
            return true;
    }
    return false;
}

} // namespace

class TestVidEru : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();

    void stopWithoutWorker();
    void statusChangedOnChangeOnly();
    void eventOfAnotherWorkerIgnored();
    void dnsWordHeldForTheTunnel();
    void setProfilePathKeepsPrevious();
    void startFailsOnUnmergeableProfile();
    void refusedProfileSaysWhy();
    void startNeedsCredentials_data();
    void startNeedsCredentials();
    void workerEndingWithoutDisconnect();
    void profileWithoutCredentialsStarts();

    void connectsCountsAndStops();
    void stopRightAfterStart();
    void lateEndOfReplacedWorker();
    void wrongPassword();
    void tunnelSetupFailure();
    void serverGoneAndBack();

private:
    QString writeProfile(const QString &name, const QByteArray &from, const QByteArray &to);
    void sendTraffic(int connections);

    std::unique_ptr<LabServer> m_lab;
    QString m_labError;
};

void TestVidEru::initTestCase()
{
    TestHome::setUpIdentity();
    m_lab = LabServer::forTestCase(&m_labError);
}

void TestVidEru::cleanupTestCase()
{
    m_lab.reset();
}

void TestVidEru::init()
{
    qunsetenv("CORRIVO_OPENVPN");
}

void TestVidEru::cleanup()
{
    qunsetenv("CORRIVO_OPENVPN");
    QTRY_VERIFY_WITH_TIMEOUT(VpnProcesses::openvpnChildren(::getpid()).isEmpty(), 15000);
}

QString TestVidEru::writeProfile(const QString &name, const QByteArray &from, const QByteArray &to)
{
    QFile original(m_lab->profilePath());
    if (!original.open(QIODevice::ReadOnly))
        return QString();
    QByteArray content = original.readAll();
    content.replace(from, to);
    const QString path = m_lab->clientDirectory() + QLatin1Char('/') + name;
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return QString();
    file.write(content);
    return path;
}

void TestVidEru::sendTraffic(int connections)
{
    // Each attempt to a closed port of the server's tunnel address is a SYN out and
    // a reset back through the tunnel.
    const QHostAddress server(m_lab->value(QStringLiteral("LAB_VPN_SERVER_ADDR")));
    for (int i = 0; i < connections; ++i) {
        QTcpSocket socket;
        socket.connectToHost(server, 9);
        socket.waitForConnected(2000);
        socket.abort();
    }
}

void TestVidEru::stopWithoutWorker()
{
    VidEru vpn;
    Recorder recorder(vpn);
    QCOMPARE(vpn.getStatus(), 1);
    QVERIFY(!vpn.stop());
    QCOMPARE(recorder.disconnected.count(), 1);
    QCOMPARE(vpn.getStatus(), 1);
    QCOMPARE(recorder.trail, QStringList{QStringLiteral("disconnected:1")});
    QCOMPARE(vpn.getTransportStats(), nullptr);
}

// Events that name no worker reach a controller that has none, as in the bridge and
// port tests; emitted on this thread, they are handled at once.
void TestVidEru::statusChangedOnChangeOnly()
{
    VidEru vpn;
    Recorder recorder(vpn);
    QStringList changes;
    connect(&vpn, &VidEru::statusChanged, &vpn, [&] { changes << QString::number(vpn.getStatus()); });
    VidEruSignals *relay = VidEruSignals::instance();
    emit relay->connecting();
    emit relay->connecting();
    emit relay->connected();
    emit relay->operationNotPermitted();
    QVERIFY(!vpn.stop());
    QVERIFY(!vpn.stop());
    QCOMPARE(changes, (QStringList{QStringLiteral("2"), QStringLiteral("3"), QStringLiteral("1")}));
    // Every entry is still announced, a repeated one too.
    QCOMPARE(recorder.trail, (QStringList{QStringLiteral("connecting:2"), QStringLiteral("connecting:2"),
                                          QStringLiteral("connected:3"), QStringLiteral("notPermitted:3"),
                                          QStringLiteral("disconnected:1"), QStringLiteral("disconnected:1")}));
}

void TestVidEru::eventOfAnotherWorkerIgnored()
{
    VidEru vpn;
    Recorder recorder(vpn);
    LogCapture log(4);
    VidEruSignals *relay = VidEruSignals::instance();
    // No worker of this controller has such an id (they count from 1 upwards).
    const quint64 stranger = std::numeric_limits<quint64>::max();
    emit relay->connecting(stranger);
    emit relay->connected(stranger);
    emit relay->operationNotPermitted(stranger);
    emit relay->disconnected(stranger);
    QCOMPARE(vpn.getStatus(), 1);
    QVERIFY(recorder.trail.isEmpty());
    QCOMPARE(log.lines().filter(QStringLiteral("\"Ignored: worker %1 is not the current one\"").arg(stranger)).size(), 4);
}

// The helper's word on the tunnel's DNS settings: the latest of the current tunnel
// counts, another worker's does not, and the tunnel's end clears it.
void TestVidEru::dnsWordHeldForTheTunnel()
{
    VidEru vpn;
    QSignalSpy notApplied(&vpn, &VidEru::onDnsNotApplied);
    LogCapture log(4);
    VidEruSignals *relay = VidEruSignals::instance();
    const quint64 stranger = std::numeric_limits<quint64>::max();
    emit relay->dnsReported(stranger, false, QStringLiteral("another tunnel's"));
    QCOMPARE(vpn.getDnsFailure(), QString());
    QCOMPARE(notApplied.count(), 0);
    QCOMPARE(log.lines().filter(QStringLiteral("\"Ignored: worker %1 is not the current one\"").arg(stranger)).size(), 1);

    emit relay->connected();
    emit relay->dnsReported(0, false, QStringLiteral("no resolver"));
    QCOMPARE(vpn.getDnsFailure(), QStringLiteral("no resolver"));
    QCOMPARE(notApplied.count(), 1);
    QCOMPARE(notApplied.at(0).at(0).toString(), QStringLiteral("no resolver"));
    emit relay->dnsReported(0, true, QString());
    QCOMPARE(vpn.getDnsFailure(), QString());
    QCOMPARE(notApplied.count(), 1);

    emit relay->dnsReported(0, false, QStringLiteral("again"));
    QCOMPARE(vpn.getDnsFailure(), QStringLiteral("again"));
    emit relay->disconnected();
    QCOMPARE(vpn.getStatus(), 1);
    QCOMPARE(vpn.getDnsFailure(), QString());
}

void TestVidEru::setProfilePathKeepsPrevious()
{
    QTemporaryDir dir;
    const QString profile = dir.filePath(QStringLiteral("absent.ovpn"));
    VidEru vpn;
    QVERIFY(vpn.setProfilePath(profile));
    QVERIFY(!vpn.setProfilePath(QString()));
    // The kept path is the one the start reads (and here fails to merge).
    LogCapture log(2);
    QVERIFY(!vpn.start());
    QVERIFY(log.contains(QStringLiteral("Merge config error: MERGE_OVPN_FILE_FAIL : ")));
    QVERIFY(log.contains(profile));
}

void TestVidEru::startFailsOnUnmergeableProfile()
{
    QTemporaryDir dir;
    VidEru vpn;
    Recorder recorder(vpn);
    vpn.setCredentials(QStringLiteral("user"), QStringLiteral("secret"));
    QVERIFY(vpn.setProfilePath(dir.filePath(QStringLiteral("profile.conf"))));
    QSignalSpy failed(&vpn, &VidEru::onStartFailed);
    LogCapture log(4);
    QVERIFY(!vpn.start());
    QVERIFY(log.contains(QStringLiteral("VidEru::start(): \"New worker thread\"")));
    QVERIFY(log.contains(QStringLiteral("Merge config error: MERGE_OVPN_EXT_FAIL")));
    // The merge's own reason, not the empty text it leaves, is what the start failed on.
    const QString reason = QStringLiteral("profile cannot be read: profile ") + dir.filePath(QStringLiteral("profile.conf"))
        + QStringLiteral(" does not have the extension .ovpn");
    QVERIFY(log.contains(QStringLiteral("VidEru::start(): \"eval config error: ") + reason + QLatin1Char('"')));
    QCOMPARE(failed.size(), 1);
    QCOMPARE(failed.at(0).at(0).toString(), reason);
    QCOMPARE(vpn.getStartFailure(), reason);
    QVERIFY(!log.contains(QStringLiteral("Connecting...")));
    QCOMPARE(vpn.getTransportStats(), nullptr);
    QCOMPARE(vpn.getStatus(), 1);
    // The start failed before any thread ran: only what it posted could still come.
    QVERIFY(deliverPostedEvents(&vpn));
    QVERIFY(recorder.trail.isEmpty());
}

void TestVidEru::refusedProfileSaysWhy()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("client.ovpn"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("client\nremote 192.0.2.1\n\"up\"'/bin/sh -c id'\n");
    file.close();
    VidEru vpn;
    Recorder recorder(vpn);
    vpn.setCredentials(QStringLiteral("user"), QStringLiteral("secret"));
    QVERIFY(vpn.setProfilePath(path));
    LogCapture log(4);
    QSignalSpy failed(&vpn, &VidEru::onStartFailed);
    const QString reason = QStringLiteral("profile refused: line 3: the directive \"up\" is not allowed in a profile: "
                                          "it would run a program");
    // Said even when the log facility is off.
    QTest::ignoreMessage(QtWarningMsg, qPrintable(QStringLiteral("Corrivo 2: the VPN profile cannot be used: ") + reason));
    QVERIFY(!vpn.start());
    // The log quotes the message, with its quotes escaped.
    QVERIFY(log.contains(QStringLiteral("eval config error: ")
                         + QString(reason).replace(QLatin1String("\""), QLatin1String("\\\""))));
    // The same sentence for the page.
    QCOMPARE(failed.size(), 1);
    QCOMPARE(failed.at(0).at(0).toString(), reason);
    QCOMPARE(vpn.getStartFailure(), reason);
    QCOMPARE(vpn.getStatus(), 1);
    QVERIFY(recorder.trail.isEmpty());
}

void TestVidEru::startNeedsCredentials_data()
{
    QTest::addColumn<QString>("username");
    QTest::addColumn<QString>("password");
    QTest::newRow("empty password") << "user" << "";
    QTest::newRow("empty user name") << "" << "secret";
}

void TestVidEru::startNeedsCredentials()
{
    QFETCH(QString, username);
    QFETCH(QString, password);
    QTemporaryDir dir;
    const QString profile = writeFile(dir, "client\ndev tun\nremote 192.0.2.1 1194\nauth-user-pass\n");
    QVERIFY(!profile.isEmpty());

    VidEru vpn;
    Recorder recorder(vpn);
    vpn.setProfilePath(profile);
    vpn.setCredentials(username, password);
    LogCapture log(4);
    QVERIFY(!vpn.start());
    QVERIFY(log.contains(QStringLiteral("\"Need credentials\"")));
    QVERIFY(!log.contains(QStringLiteral("creds error")));
    QVERIFY(!log.contains(QStringLiteral("Connecting...")));
    QCOMPARE(vpn.getTransportStats(), nullptr);
    // The start failed before any thread ran: only what it posted could still come.
    QVERIFY(deliverPostedEvents(&vpn));
    QVERIFY(recorder.trail.isEmpty());
    QVERIFY(VpnProcesses::openvpnChildren(::getpid()).isEmpty());
}

void TestVidEru::workerEndingWithoutDisconnect()
{
    // The daemon cannot even start: the connection never reports "DISCONNECTED", and
    // the controller learns of the end from the worker's thread.
    QTemporaryDir dir;
    const QString profile = writeFile(dir, "client\ndev tun\nremote 192.0.2.1 1194\nauth-user-pass\n");
    QVERIFY(!profile.isEmpty());
    qputenv("CORRIVO_OPENVPN", dir.filePath(QStringLiteral("no-such-openvpn")).toUtf8());

    LogCapture log(4);  // outlives the controller: its worker logs until it ends
    VidEru vpn;
    Recorder recorder(vpn);
    vpn.setDeviceId(7);
    vpn.setProfilePath(profile);
    vpn.setCredentials(QStringLiteral("user"), QStringLiteral("secret"));
    QVERIFY(vpn.start());
    QTRY_COMPARE_WITH_TIMEOUT(recorder.disconnected.count(), 1, 10000);
    QCOMPARE(vpn.getStatus(), 1);
    QCOMPARE(vpn.getTransportStats(), nullptr);
    QVERIFY(!log.contains(QStringLiteral("Event DISCONNECTED")));
    QVERIFY(log.contains(QStringLiteral("Error status: DAEMON_START_FAILED")));
    // A later stop finds no worker and answers at once.
    QVERIFY(!vpn.stop());
    QCOMPARE(recorder.trail, (QStringList{QStringLiteral("disconnected:1"), QStringLiteral("disconnected:1")}));
}

void TestVidEru::connectsCountsAndStops()
{
    REQUIRE_LAB();

    Controlled controlled;
    VidEru &vpn = controlled.vpn;
    Recorder &recorder = controlled.recorder;
    vpn.setDeviceId(42);
    QVERIFY(vpn.setProfilePath(m_lab->profilePath()));
    vpn.setCredentials(m_lab->username(), m_lab->password());
    QVERIFY(vpn.start());
    QCOMPARE(vpn.getStatus(), 1);

    {
        std::unique_ptr<VidEruTransportStats> before(vpn.getTransportStats());
        QVERIFY(before);
        QCOMPARE(before->bytesIn, 0);
        QCOMPARE(before->packetsIn, 0);
        QCOMPARE(before->packetsOut, 0);
        QCOMPARE(before->lastPacketReceived, -1);
    }

    QTRY_COMPARE_WITH_TIMEOUT(vpn.getStatus(), 3, ConnectTimeoutMs);
    QCOMPARE(recorder.connecting.count(), 1);
    QCOMPARE(recorder.connecting.first().first().toInt(), 42);
    QCOMPARE(recorder.connected.count(), 1);
    QCOMPARE(recorder.connected.first().first().toInt(), 42);
    QCOMPARE(recorder.trail, (QStringList{QStringLiteral("connecting:2"), QStringLiteral("connected:3")}));
    QVERIFY(hasAddressIn(m_lab->value(QStringLiteral("LAB_VPN_NET"))));
    {
        // The server saw the GUI version among the peer info.
        QFile seen(m_lab->value(QStringLiteral("LAB_STATE_DIR")) + QStringLiteral("/gui-versions"));
        QVERIFY(seen.open(QIODevice::ReadOnly));
        QVERIFY(seen.readAll().split('\n').contains("VIDeru_1.0"));
    }

    std::unique_ptr<VidEruTransportStats> first(vpn.getTransportStats());
    QVERIFY(first);
    sendTraffic(5);
    QTRY_VERIFY_WITH_TIMEOUT(std::unique_ptr<VidEruTransportStats>(vpn.getTransportStats())->bytesOut > first->bytesOut, 5000);
    std::unique_ptr<VidEruTransportStats> second(vpn.getTransportStats());
    QVERIFY2(second->packetsOut >= first->packetsOut + 5, qPrintable(QString::number(second->packetsOut)));
    QVERIFY2(second->packetsIn >= first->packetsIn + 5, qPrintable(QString::number(second->packetsIn)));
    QTRY_VERIFY_WITH_TIMEOUT(std::unique_ptr<VidEruTransportStats>(vpn.getTransportStats())->bytesIn > first->bytesIn, 5000);
    QVERIFY(second->lastPacketReceived >= 0);
    QVERIFY2(second->lastPacketReceived < 2 * 1024, qPrintable(QString::number(second->lastPacketReceived)));

    // Stop: accepted at once, status 0 until the tunnel is reported down.
    QVERIFY(vpn.stop());
    QCOMPARE(vpn.getStatus(), 0);
    QCOMPARE(vpn.getTransportStats(), nullptr);
    QCOMPARE(recorder.disconnected.count(), 0);
    // A second stop finds no worker: status 1 and onDisconnected() at once...
    QVERIFY(!vpn.stop());
    QCOMPARE(recorder.disconnected.count(), 1);
    // ...and the first tunnel's end announces itself once more.
    QTRY_COMPARE_WITH_TIMEOUT(recorder.disconnected.count(), 2, 15000);
    QCOMPARE(vpn.getStatus(), 1);
    QTRY_VERIFY_WITH_TIMEOUT(VpnProcesses::openvpnChildren(::getpid()).isEmpty(), 10000);
    QVERIFY(!hasAddressIn(m_lab->value(QStringLiteral("LAB_VPN_NET"))));
}

void TestVidEru::profileWithoutCredentialsStarts()
{
    // No auth-user-pass: nothing is asked, so the empty credentials are not checked.
    // The daemon then refuses the incomplete profile and the worker
    // ends with "DISCONNECTED".
    QTemporaryDir dir;
    const QString profile = writeFile(dir, "client\ndev tun\nremote 192.0.2.1 1194\n");
    QVERIFY(!profile.isEmpty());

    Controlled controlled;
    VidEru &vpn = controlled.vpn;
    Recorder &recorder = controlled.recorder;
    LogCapture &log = controlled.log;
    vpn.setProfilePath(profile);
    QVERIFY(vpn.start());
    QVERIFY(!log.contains(QStringLiteral("Need credentials")));
    QVERIFY(log.contains(QStringLiteral("VidEru::start(): \"Connecting...\"")));
    QTRY_COMPARE_WITH_TIMEOUT(recorder.disconnected.count(), 1, 15000);
    QCOMPARE(vpn.getStatus(), 1);
    QVERIFY(log.contains(QStringLiteral("Options error: ")));
    QCOMPARE(recorder.connected.count(), 0);
}

void TestVidEru::stopRightAfterStart()
{
    REQUIRE_LAB();

    // The bridge may stop a tunnel that has not got anywhere yet: the stop still ends
    // in "DISCONNECTED", and nothing is left running.
    Controlled controlled;
    VidEru &vpn = controlled.vpn;
    Recorder &recorder = controlled.recorder;
    vpn.setProfilePath(m_lab->profilePath());
    vpn.setCredentials(m_lab->username(), m_lab->password());
    QVERIFY(vpn.start());
    QVERIFY(vpn.stop());
    QCOMPARE(vpn.getStatus(), 0);
    QTRY_COMPARE_WITH_TIMEOUT(recorder.disconnected.count(), 1, 15000);
    QCOMPARE(vpn.getStatus(), 1);
    QCOMPARE(recorder.connected.count(), 0);
    QTRY_VERIFY_WITH_TIMEOUT(VpnProcesses::openvpnChildren(::getpid()).isEmpty(), 10000);
}

void TestVidEru::lateEndOfReplacedWorker()
{
    REQUIRE_LAB();

    // A second start request stops the tunnel twice (the bridge's hand-over): the
    // second stop reports "disconnected" at once and the new worker starts right away,
    // while the old daemon is still winding down. Its end, arriving after the new
    // tunnel is up, belongs to a worker that is no longer current.
    Controlled controlled;
    VidEru &vpn = controlled.vpn;
    Recorder &recorder = controlled.recorder;
    LogCapture &log = controlled.log;
    vpn.setProfilePath(m_lab->profilePath());
    vpn.setCredentials(m_lab->username(), m_lab->password());
    QVERIFY(vpn.start());
    QTRY_COMPARE_WITH_TIMEOUT(vpn.getStatus(), 3, ConnectTimeoutMs);

    LogHold hold(QStringLiteral("VidEruClient::event(): \"Event DISCONNECTED"));
    QVERIFY(vpn.stop());
    QVERIFY(!vpn.stop());
    QVERIFY(vpn.start());
    // The old worker reports its end only once the new tunnel is up.
    QTRY_VERIFY_WITH_TIMEOUT(hold.holding(), 15000);
    QTRY_COMPARE_WITH_TIMEOUT(vpn.getStatus(), 3, ConnectTimeoutMs);
    hold.release();
    // The old worker relays its end before it finishes; the new one is still running.
    QTRY_VERIFY_WITH_TIMEOUT(log.contains(QStringLiteral("VidEruThread::run(): \"Worker finished\"")), 15000);
    QCoreApplication::sendPostedEvents();

    QCOMPARE(recorder.trail, (QStringList{QStringLiteral("connecting:2"), QStringLiteral("connected:3"),
                                          QStringLiteral("disconnected:1"), QStringLiteral("connecting:2"),
                                          QStringLiteral("connected:3")}));
    QVERIFY(log.contains(QStringLiteral("VidEru::disconnected(): \"Ignored: worker ")));
    QCOMPARE(vpn.getStatus(), 3);
    QVERIFY(std::unique_ptr<VidEruTransportStats>(vpn.getTransportStats()));
    QCOMPARE(VpnProcesses::openvpnChildren(::getpid()).size(), 1);

    // The new tunnel is still the controller's to end.
    QVERIFY(vpn.stop());
    QTRY_COMPARE_WITH_TIMEOUT(recorder.disconnected.count(), 2, 15000);
    QCOMPARE(vpn.getStatus(), 1);
    QTRY_VERIFY_WITH_TIMEOUT(VpnProcesses::openvpnChildren(::getpid()).isEmpty(), 10000);
}

void TestVidEru::wrongPassword()
{
    REQUIRE_LAB();

    Controlled controlled;
    VidEru &vpn = controlled.vpn;
    Recorder &recorder = controlled.recorder;
    vpn.setProfilePath(m_lab->profilePath());
    vpn.setCredentials(m_lab->username(), m_lab->password() + QStringLiteral("x"));
    LogCapture &log = controlled.log;
    QVERIFY(vpn.start());
    QTRY_COMPARE_WITH_TIMEOUT(recorder.disconnected.count(), 1, ConnectTimeoutMs);
    QVERIFY(log.contains(QStringLiteral("VidEruClient::event(): \"Event AUTH_FAILED: ")));
    QCOMPARE(recorder.connected.count(), 0);
    QCOMPARE(recorder.notPermitted.count(), 0);
    QCOMPARE(recorder.trail, (QStringList{QStringLiteral("connecting:2"), QStringLiteral("disconnected:1")}));
    QVERIFY(log.contains(QStringLiteral("Error status: AUTH_FAILED")));
}

void TestVidEru::tunnelSetupFailure()
{
    REQUIRE_LAB();

    // "lo" is no tun device: the daemon's TUNSETIFF fails after the server accepted us.
    const QString path = writeProfile(QStringLiteral("badtun.ovpn"), "dev tun\n", "dev-type tun\ndev lo\n");
    Controlled controlled;
    VidEru &vpn = controlled.vpn;
    Recorder &recorder = controlled.recorder;
    vpn.setProfilePath(path);
    vpn.setCredentials(m_lab->username(), m_lab->password());
    LogCapture &log = controlled.log;
    QVERIFY(vpn.start());
    QTRY_COMPARE_WITH_TIMEOUT(recorder.notPermitted.count(), 1, ConnectTimeoutMs);
    QVERIFY(log.contains(QStringLiteral("Event TUN_SETUP_FAILED: ")));
    // No device id was set: the signals carry the start value.
    QCOMPARE(recorder.connecting.first().first().toInt(), -1);
    QTRY_COMPARE_WITH_TIMEOUT(recorder.disconnected.count(), 1, 15000);
    // The status stays what it was when the failure is announced.
    QCOMPARE(recorder.trail, (QStringList{QStringLiteral("connecting:2"), QStringLiteral("notPermitted:2"),
                                          QStringLiteral("disconnected:1")}));
}

void TestVidEru::serverGoneAndBack()
{
    REQUIRE_LAB();

    Controlled controlled;
    VidEru &vpn = controlled.vpn;
    Recorder &recorder = controlled.recorder;
    vpn.setDeviceId(5);
    vpn.setProfilePath(m_lab->profilePath());
    vpn.setCredentials(m_lab->username(), m_lab->password());
    LogCapture &log = controlled.log;
    QVERIFY(vpn.start());
    QTRY_COMPARE_WITH_TIMEOUT(vpn.getStatus(), 3, ConnectTimeoutMs);

    QVERIFY2(m_lab->stopServer(), qPrintable(m_lab->error()));
    // The lab's keepalive makes the client give up on the silent server in seconds.
    QTRY_COMPARE_WITH_TIMEOUT(recorder.connecting.count(), 2, 30000);
    QCOMPARE(vpn.getStatus(), 2);
    QCOMPARE(recorder.connecting.last().first().toInt(), 5);
    QVERIFY(log.contains(QStringLiteral("Event RECONNECTING: ")));

    QVERIFY2(m_lab->startServer(), qPrintable(m_lab->error()));
    QTRY_COMPARE_WITH_TIMEOUT(recorder.connected.count(), 2, 60000);
    QCOMPARE(vpn.getStatus(), 3);
    QCOMPARE(recorder.disconnected.count(), 0);
}

QTEST_GUILESS_MAIN(TestVidEru)
#include "tst_videru.moc"
