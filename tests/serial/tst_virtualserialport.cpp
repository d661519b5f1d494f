#include <QtTest>

#include <QJsonArray>
#include <QJsonObject>
#include <QPointer>
#include <QTemporaryDir>

#include <memory>

#include <csignal>
#include <sys/stat.h>

#include "model/hlvdevice.h"
#include "model/hlvsettings.h"
#include "serial/storedports.h"
#include "serial/virtualserialport.h"
#include "serialtestsupport.h"
#include "testhome.h"

using namespace SerialTestSupport;

namespace {

// The delay of a device seen online while a test runs; deviceOnlineConnectsLater()
// checks the product's own.
constexpr int ShortDelayMs = 50;

// The machine's own serial ports as the name search sees them, chosen by the test.
class PortOnMachine : public VirtualSerialPort
{
public:
    explicit PortOnMachine(QStringList present)
        : m_present(std::move(present))
    {
    }

protected:
    QStringList presentSerialPortNames() override { return m_present; }

private:
    QStringList m_present;
};

VirtualSerialPort *portNamed(const QString &serialName)
{
    return VirtualSerialPort::fromJson(QJsonObject{{QStringLiteral("serialName"), serialName}});
}

QString remoteAccessAnswer(const QString &port)
{
    return QStringLiteral("<?xml version=\"1.0\"?><remote_access><src_type>2</src_type><dst_ip_port>") + port
        + QStringLiteral("</dst_ip_port></remote_access>");
}

// The port asks its device for the TCP port and takes this answer at once. (The real
// request goes to a device that is not there and fails later; a port that holds an
// answer by then ignores the failure.)
void deliver(VirtualSerialPort *port, int status, const QString &data)
{
    QMetaObject::invokeMethod(port, "getRemoteAccessSuccess", Q_ARG(int, status), Q_ARG(QString, data));
}

void answer(VirtualSerialPort *port, int status, const QString &data)
{
    QVERIFY(port->connectPort());
    deliver(port, status, data);
}

} // namespace

class TestVirtualSerialPort : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void cleanupTestCase();

    void nameSearch_data();
    void nameSearch();
    void nameSearchHasAnUpperBound();
    void createInstallsAPair();
    void destroyRemovesOnlyItsOwnPair();
    void answerWithPortStartsTheBridge();
    void answerToAWithdrawnRequestBridgesNothing();
    void answersThatStartNoBridge_data();
    void answersThatStartNoBridge();
    void answerLeavesTheWorkingDirectoryAlone_data();
    void answerLeavesTheWorkingDirectoryAlone();
    void monitorFollowsTheRelays();
    void bridgeEndingEmitsDisconnected();
    void relayEndsWithItsApplication();
    void disconnectPortStopsTheBridge();
    void connectPortReplacesItsBridgeQuietly();
    void failedRequestAfterTheRelayEndedIsMadeAgain();
    void deviceOnlineOnAConnectedPortDoesNothing();
    void deviceOnlineConnectsLater();
    void connectPortNeedsAnOnlineDevice_data();
    void connectPortNeedsAnOnlineDevice();
    void delayedConnectAfterDeleteIsDropped();
    void recordRoundTrip();
    void recordDefaults();
    void storedList();

private:
    VirtualSerialPort *bridgedPort();

    LogCollector m_log;
    std::unique_ptr<SerialDirGuard> m_serialDir;
    std::unique_ptr<EchoServer> m_echo;
    std::unique_ptr<PortOnMachine> m_port;
    std::unique_ptr<HlvDevice> m_device;
    QTemporaryDir m_workDir;
    QString m_previousDir;
};

void TestVirtualSerialPort::initTestCase()
{
    TestHome::setUpIdentity();
    m_log.start(QStringLiteral("hlv_serials"));
    // A working directory of the test's own, to see that nothing is written there.
    QVERIFY(m_workDir.isValid());
    m_previousDir = QDir::currentPath();
    QDir::setCurrent(m_workDir.path());
}

void TestVirtualSerialPort::init()
{
    TestHome::wipe();
    m_log.clear();
    m_serialDir = std::make_unique<SerialDirGuard>();
    QVERIFY(m_serialDir->isValid());
    m_echo = std::make_unique<EchoServer>();
    m_device = std::make_unique<HlvDevice>();
    m_device->id = 7;
    m_device->vpnStatus = 1;
    m_device->vpnIp = QStringLiteral("127.0.0.1");
    m_device->apiKey = QStringLiteral("device-key");
    VirtualSerialPort::setOnlineDelay(ShortDelayMs);
}

void TestVirtualSerialPort::cleanup()
{
    m_port.reset();
    m_echo.reset();
    m_device.reset();
    m_serialDir.reset();
    QFile::remove(QStringLiteral("xml_data"));
    VirtualSerialPort::setOnlineDelay(VirtualSerialPort::OnlineDelayMs);
}

// A created port whose bridge to the echo service runs; null if that failed.
VirtualSerialPort *TestVirtualSerialPort::bridgedPort()
{
    m_port = std::make_unique<PortOnMachine>(QStringList());
    m_port->setDevice(m_device.get());
    if (!m_port->create({m_port.get()}))
        return nullptr;
    const int before = m_echo->connectionCount();
    answer(m_port.get(), 200, remoteAccessAnswer(QString::number(m_echo->port())));
    if (!QTest::qWaitFor([&] { return m_echo->connectionCount() == before + 1; }, 10000))
        return nullptr;
    return m_port.get();
}

void TestVirtualSerialPort::cleanupTestCase()
{
    QDir::setCurrent(m_previousDir);
    m_log.stop();
}

void TestVirtualSerialPort::nameSearch_data()
{
    QTest::addColumn<QStringList>("present");
    QTest::addColumn<QStringList>("pairs");
    QTest::addColumn<QStringList>("otherPorts");
    QTest::addColumn<QString>("expected");

    QTest::newRow("first") << QStringList() << QStringList() << QStringList() << QStringLiteral("COM2");
    QTest::newRow("present COM2 skipped") << QStringList{QStringLiteral("COM1"), QStringLiteral("COM2")}
                                          << QStringList() << QStringList() << QStringLiteral("COM3");
    QTest::newRow("present ROZIZER2 skipped") << QStringList{QStringLiteral("ROZIZER2")} << QStringList()
                                              << QStringList() << QStringLiteral("COM3");
    QTest::newRow("busy COM30 makes 3 busy") << QStringList{QStringLiteral("COM2")} << QStringList{QStringLiteral("COM30")}
                                             << QStringList() << QStringLiteral("COM4");
    QTest::newRow("pair of COM2") << QStringList() << QStringList{QStringLiteral("COM2")} << QStringList()
                                  << QStringLiteral("COM3");
    QTest::newRow("port holding COM3") << QStringList{QStringLiteral("COM2")} << QStringList()
                                       << QStringList{QStringLiteral("COM3")} << QStringLiteral("COM4");
    QTest::newRow("case matters") << QStringList{QStringLiteral("com2")} << QStringList() << QStringList()
                                  << QStringLiteral("COM2");
}

void TestVirtualSerialPort::nameSearch()
{
    QFETCH(QStringList, present);
    QFETCH(QStringList, pairs);
    QFETCH(QStringList, otherPorts);
    QFETCH(QString, expected);

    for (const QString &name : pairs)
        QCOMPARE(installPair(name, QStringLiteral("X") + name), 0);
    QList<VirtualSerialPort *> ports;
    for (const QString &name : otherPorts)
        ports.append(portNamed(name));

    PortOnMachine port(present);
    ports.append(&port);
    port.assignPortsName(ports);
    QCOMPARE(port.getSerialName(), expected);
    QCOMPARE(port.getTcpName(), QStringLiteral("ROZIZER") + expected.mid(3));
    QVERIFY(m_log.contains("VirtualSerialPort::assignPortsName", QStringLiteral("serialName = '") + expected + QLatin1Char('\'')));

    ports.removeLast();
    qDeleteAll(ports);
}

void TestVirtualSerialPort::nameSearchHasAnUpperBound()
{
    QStringList present;
    for (int number = 2; number <= VirtualSerialPort::HighestPortNumber; ++number)
        present.append(QStringLiteral("COM") + QString::number(number));
    PortOnMachine port(present);
    QVERIFY(!port.create({&port}));
    QVERIFY(m_log.contains("VirtualSerialPort::assignPortsName", QStringLiteral("No free port name up to COM256")));
    QString list;
    QCOMPARE(runTool(QStringLiteral("setupc"), {QStringLiteral("list")}, &list), 0);
    QCOMPARE(list, QString());
}

void TestVirtualSerialPort::createInstallsAPair()
{
    PortOnMachine port({});
    QVERIFY(port.create({&port}));
    QCOMPARE(port.getSerialName(), QStringLiteral("COM2"));
    QString list;
    QCOMPARE(runTool(QStringLiteral("setupc"), {QStringLiteral("list")}, &list), 0);
    QCOMPARE(list, QStringLiteral("       CNCA0 PortName=COM2\n       CNCB0 PortName=ROZIZER2\n"));
    QVERIFY(!port.isConnected());

    PortEnd a(m_serialDir->portPath(QStringLiteral("COM2")));
    std::unique_ptr<PortEnd> b(PortEnd::takeFromHolder(QStringLiteral("ROZIZER2")));
    QVERIFY(a.writeAll(allByteValues()));
    QCOMPARE(b->read(256), allByteValues());
}

void TestVirtualSerialPort::destroyRemovesOnlyItsOwnPair()
{
    PortOnMachine port({});
    QVERIFY(port.create({&port}));
    QCOMPARE(port.getSerialName(), QStringLiteral("COM2"));
    QCOMPARE(installPair(QStringLiteral("COM20"), QStringLiteral("ROZIZER20")), 0);

    QVERIFY(port.destroy());
    QVERIFY(m_log.contains("VirtualSerialPort::destroy", QStringLiteral("Remove com 0")));
    QString list;
    QCOMPARE(runTool(QStringLiteral("setupc"), {QStringLiteral("list")}, &list), 0);
    QCOMPARE(list, QStringLiteral("       CNCA1 PortName=COM20\n       CNCB1 PortName=ROZIZER20\n"));

    // Removed: the port is not connected again.
    port.setDevice(m_device.get());
    QVERIFY(!port.connectPort());
}

void TestVirtualSerialPort::answerToAWithdrawnRequestBridgesNothing()
{
    // Asked, then disconnected (the tunnel went down) before the device answered.
    m_port = std::make_unique<PortOnMachine>(QStringList());
    m_port->setDevice(m_device.get());
    QVERIFY(m_port->create({m_port.get()}));
    QVERIFY(m_port->connectPort());
    QVERIFY(m_port->disconnectPort());
    deliver(m_port.get(), 200, remoteAccessAnswer(QString::number(m_echo->port())));
    QVERIFY(!m_port->isConnected());
    QVERIFY(m_log.contains("VirtualSerialPort::getRemoteAccessSuccess", QStringLiteral("Request withdrawn")));

    // Asked again: this answer is taken.
    const int before = m_echo->connectionCount();
    answer(m_port.get(), 200, remoteAccessAnswer(QString::number(m_echo->port())));
    QTRY_COMPARE(m_echo->connectionCount(), before + 1);
    QVERIFY(m_port->isConnected());
}

void TestVirtualSerialPort::answerWithPortStartsTheBridge()
{
    VirtualSerialPort *port = bridgedPort();
    QVERIFY(port);
    QVERIFY(port->isConnected());
    QVERIFY(m_log.contains("VirtualSerialPort::getRemoteAccessSuccess", QStringLiteral("Connect to: ")));
    QVERIFY(m_log.contains("VirtualSerialPort::getRemoteAccessSuccess", QStringLiteral("//./ROZIZER2")));
    QVERIFY(m_log.contains("VirtualSerialPort::getRemoteAccessSuccess", QStringLiteral("127.0.0.1")));
    QVERIFY(m_log.contains("VirtualSerialPort::getRemoteAccessSuccess", QString::number(m_echo->port())));
    QVERIFY(!QFile::exists(QStringLiteral("xml_data")));

    PortEnd a(m_serialDir->portPath(QStringLiteral("COM2")));
    QVERIFY(a.writeAll(allByteValues()));
    QCOMPARE(a.read(256), allByteValues());
}

void TestVirtualSerialPort::answersThatStartNoBridge_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("data");
    QTest::addColumn<QString>("logLine");

    QTest::newRow("malformed XML") << 200 << QStringLiteral("<remote_access><dst_ip_port>PORT</dst_ip_port>")
                                   << QStringLiteral("XML has error");
    QTest::newRow("no dst_ip_port") << 200 << QStringLiteral("<remote_access><src_type>2</src_type></remote_access>")
                                    << QStringLiteral("No dst_ip_port");
    QTest::newRow("not a number") << 200 << remoteAccessAnswer(QStringLiteral("serial"))
                                  << QStringLiteral("No dst_ip_port");
    QTest::newRow("out of range") << 200 << remoteAccessAnswer(QStringLiteral("70000"))
                                  << QStringLiteral("No dst_ip_port");
    QTest::newRow("status 403") << 403 << QStringLiteral("PORT") << QString();
}

void TestVirtualSerialPort::answersThatStartNoBridge()
{
    QFETCH(int, status);
    QFETCH(QString, data);
    QFETCH(QString, logLine);

    // An earlier good answer must not lend its number to a later bad one.
    VirtualSerialPort *port = bridgedPort();
    QVERIFY(port);
    QVERIFY(port->disconnectPort());
    m_log.clear();

    answer(port, status, data.replace(QLatin1String("PORT"), QString::number(m_echo->port())));
    QVERIFY(!port->isConnected());
    QVERIFY(m_log.contains("VirtualSerialPort::getRemoteAccessError", QString()));
    if (!logLine.isEmpty())
        QVERIFY(m_log.contains("VirtualSerialPort::getRemoteAccessSuccess", logLine));
    QVERIFY(!QFile::exists(QStringLiteral("xml_data")));
    QCOMPARE(m_echo->connectionCount(), 1);

    // A usable answer now starts the one relay: had the answer above started one, this
    // one would find it running.
    answer(port, 200, remoteAccessAnswer(QString::number(m_echo->port())));
    QTRY_COMPARE(m_echo->connectionCount(), 2);
    QVERIFY(port->isConnected());
    QVERIFY(!m_log.contains("VirtualSerialPort::getRemoteAccessSuccess", QStringLiteral("Bridge already running")));
}

void TestVirtualSerialPort::answerLeavesTheWorkingDirectoryAlone_data()
{
    QTest::addColumn<QString>("data");
    QTest::addColumn<bool>("bridged");
    QTest::newRow("usable answer") << remoteAccessAnswer(QStringLiteral("PORT")) << true;
    QTest::newRow("malformed answer") << QStringLiteral("<remote_access><dst_ip_port>PORT</dst_ip_port>") << false;
}

void TestVirtualSerialPort::answerLeavesTheWorkingDirectoryAlone()
{
    // Another user planted a link where the answer used to be written.
    QFETCH(QString, data);
    QFETCH(bool, bridged);
    QTemporaryDir elsewhere;
    QVERIFY(elsewhere.isValid());
    const QString victim = elsewhere.filePath(QStringLiteral("victim"));
    {
        QFile file(victim);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(file.write("untouched\n") == 10);
    }
    QCOMPARE(::chmod(QFile::encodeName(victim).constData(), 0640), 0);
    QVERIFY(QFile::link(victim, QStringLiteral("xml_data")));

    m_port = std::make_unique<PortOnMachine>(QStringList());
    m_port->setDevice(m_device.get());
    QVERIFY(m_port->create({m_port.get()}));
    answer(m_port.get(), 200, data.replace(QLatin1String("PORT"), QString::number(m_echo->port())));
    if (bridged)
        QTRY_COMPARE(m_echo->connectionCount(), 1);
    QCOMPARE(m_port->isConnected(), bridged);

    QFile file(victim);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray("untouched\n"));
    struct stat info = {};
    QCOMPARE(::lstat(QFile::encodeName(victim).constData(), &info), 0);
    QCOMPARE(info.st_mode & 07777, mode_t(0640));
    QCOMPARE(QFileInfo(QStringLiteral("xml_data")).symLinkTarget(), victim);
    QCOMPARE(QDir(elsewhere.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList{QStringLiteral("victim")});
}

void TestVirtualSerialPort::relayEndsWithItsApplication()
{
    // Killed outright, the application takes its relay along; the port pair's holder
    // is detached on purpose and stays.
    QProcess holder;
    const auto cleanup = qScopeGuard([&] {
        holder.kill();
        holder.waitForFinished(5000);
    });
    holder.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    holder.start(QCoreApplication::applicationDirPath() + QStringLiteral("/serialholder"),
                 {QString::number(m_echo->port())});
    QVERIFY2(holder.waitForStarted(10000), qPrintable(holder.errorString()));
    QByteArray output;
    QTRY_VERIFY_WITH_TIMEOUT((output += holder.readAllStandardOutput()).contains("BRIDGED")
                                 || holder.state() == QProcess::NotRunning,
                             30000);
    QCOMPARE(holder.state(), QProcess::Running);
    QTRY_COMPARE(m_echo->connectionCount(), 1);

    const qint64 holderPid = holder.processId();
    QList<qint64> relays;
    QList<qint64> pairHolders;
    for (qint64 pid : m_serialDir->processes()) {
        const QString name = processName(pid);
        if (name == QLatin1String("com2tcp"))
            relays.append(pid);
        else if (name == QLatin1String("setupc"))
            pairHolders.append(pid);
    }
    QCOMPARE(relays.size(), 1);
    QCOMPARE(pairHolders.size(), 1);

    QCOMPARE(::kill(pid_t(holderPid), SIGKILL), 0);
    QVERIFY(holder.waitForFinished(5000));
    QTRY_VERIFY_WITH_TIMEOUT(!isAlive(relays.first()), 5000);
    QVERIFY(isAlive(pairHolders.first()));
    QVERIFY(QFileInfo::exists(m_serialDir->portPath(QStringLiteral("COM2"))));
}

void TestVirtualSerialPort::monitorFollowsTheRelays()
{
    // Switched on while a relay runs: that relay and every later one of the port tap.
    VirtualSerialPort *port = bridgedPort();
    QVERIFY(port);
    port->setMonitor(true);
    PortEnd a(m_serialDir->portPath(QStringLiteral("COM2")));
    QVERIFY(a.isOpen());

    const QList<QByteArray> exchanges = {"AT\r\n", "ATI\r\n"};
    quint64 total = 0;
    for (const QByteArray &exchange : exchanges) {
        if (total > 0) {
            // A relay replaced: the new one takes the monitor's switch too.
            port->disconnectPort();
            const int before = m_echo->connectionCount();
            answer(port, 200, remoteAccessAnswer(QString::number(m_echo->port())));
            QTRY_COMPARE(m_echo->connectionCount(), before + 1);
        }
        // The relay takes the switch at its next tick; what passes before is counted only.
        QTRY_VERIFY_WITH_TIMEOUT(port->statusJson().value(QStringLiteral("state")).toString() == QLatin1String("relaying"), 10000);
        const quint64 seen = port->monitor().records().empty() ? 0 : port->monitor().records().back().sequence;
        QByteArray echoed;
        QTRY_VERIFY_WITH_TIMEOUT((a.writeAll(exchange), echoed = a.read(exchange.size()),
                                  port->monitor().records().size() >= 2 && port->monitor().records().back().sequence > seen + 1),
                                 10000);
        QCOMPARE(echoed, exchange);
        const QJsonArray records = port->monitorRecords(seen).value(QStringLiteral("records")).toArray();
        QVERIFY(records.size() >= 2);
        const QJsonObject last = records.last().toObject();
        QCOMPARE(last.value(QStringLiteral("dir")).toString(), QStringLiteral("<"));
        QCOMPARE(QByteArray::fromHex(last.value(QStringLiteral("hex")).toString().toLatin1()), exchange);
        const QJsonObject before = records.at(records.size() - 2).toObject();
        QCOMPARE(before.value(QStringLiteral("dir")).toString(), QStringLiteral(">"));
        QCOMPARE(QByteArray::fromHex(before.value(QStringLiteral("hex")).toString().toLatin1()), exchange);
        // The counters go on over the relays (a relay reports them twice a second).
        QTRY_VERIFY_WITH_TIMEOUT(port->monitor().toNetwork() >= total + quint64(exchange.size())
                                     && port->monitor().toNetwork() == port->monitor().fromNetwork(),
                                 10000);
        total = port->monitor().toNetwork();
        const QJsonObject status = port->statusJson();
        QCOMPARE(status.value(QStringLiteral("toNetwork")).toInteger(), qint64(total));
        QCOMPARE(status.value(QStringLiteral("monitor")).toBool(), true);
        QCOMPARE(status.value(QStringLiteral("serialName")).toString(), QStringLiteral("COM2"));
    }
    port->setMonitor(false);
    QVERIFY(port->monitor().records().empty());
}

void TestVirtualSerialPort::bridgeEndingEmitsDisconnected()
{
    VirtualSerialPort *port = bridgedPort();
    QVERIFY(port);
    QSignalSpy disconnected(port, &VirtualSerialPort::onDisconnected);

    m_echo->closeConnections();
    QTRY_COMPARE(disconnected.size(), 1);
    // It ended by itself: the port still counts as connected until told otherwise.
    QVERIFY(port->isConnected());
}

void TestVirtualSerialPort::disconnectPortStopsTheBridge()
{
    VirtualSerialPort *port = bridgedPort();
    QVERIFY(port);
    QSignalSpy disconnected(port, &VirtualSerialPort::onDisconnected);
    const QList<qint64> withBridge = m_serialDir->processes();
    QCOMPARE(withBridge.size(), 2);

    QVERIFY(port->disconnectPort());
    QCOMPARE(disconnected.size(), 1);
    QVERIFY(!port->isConnected());
    QCOMPARE(m_serialDir->processes().size(), 1);

    port->deviceOffline();
    QVERIFY(!m_log.contains("VirtualSerialPort::deviceOffline", QString()));
}

void TestVirtualSerialPort::connectPortReplacesItsBridgeQuietly()
{
    VirtualSerialPort *port = bridgedPort();
    QVERIFY(port);
    QSignalSpy disconnected(port, &VirtualSerialPort::onDisconnected);

    // The device API call goes nowhere here (no device service); what matters is that
    // stopping the bridge it replaces asks nobody for a reconnect.
    m_device->vpnIp = QStringLiteral("127.0.0.1:1");
    QVERIFY(port->connectPort());
    QVERIFY(m_log.contains("VirtualSerialPort::connectPort", QStringLiteral("is running then kill")));
    QVERIFY(!port->isConnected());
    QCOMPARE(m_serialDir->processes().size(), 1);
    // Nobody answers at that address; by the time that is known, any word of the
    // replaced relay's end would have come.
    QTRY_VERIFY_WITH_TIMEOUT(m_log.contains("VirtualSerialPort::getRemoteAccessError", QString()), 30000);
    QCOMPARE(disconnected.size(), 0);
}

void TestVirtualSerialPort::failedRequestAfterTheRelayEndedIsMadeAgain()
{
    VirtualSerialPort *port = bridgedPort();
    QVERIFY(port);
    QSignalSpy relayEnded(port, &VirtualSerialPort::onDisconnected);
    m_echo->closeConnections();
    QVERIFY(relayEnded.wait(10000));

    // The reconnect after the relay's end asks at an address where nobody answers.
    m_device->vpnIp = QStringLiteral("127.0.0.1:1");
    QVERIFY(port->connectPort());
    QTRY_VERIFY_WITH_TIMEOUT(m_log.contains("VirtualSerialPort::getRemoteAccessError", QString()), 30000);
    // Nothing is connected now, so the device seen online again is asked again.
    QVERIFY(!port->isConnected());
    m_log.clear();
    port->deviceOnline();
    QVERIFY(m_log.contains("VirtualSerialPort::deviceOnline", QString()));
    QTRY_VERIFY(m_log.contains("VirtualSerialPort::connectPort", QStringLiteral("Get port number...")));
}

void TestVirtualSerialPort::deviceOnlineOnAConnectedPortDoesNothing()
{
    VirtualSerialPort *port = bridgedPort();
    QVERIFY(port);
    m_log.clear();

    port->deviceOnline();
    QVERIFY(!m_log.contains("VirtualSerialPort::deviceOnline", QString()));
    QVERIFY(waitPastDelay(ShortDelayMs));
    QVERIFY(!m_log.contains("VirtualSerialPort::connectPort", QString()));
    QCOMPARE(m_echo->connectionCount(), 1);
    QVERIFY(port->isConnected());
}

void TestVirtualSerialPort::deviceOnlineConnectsLater()
{
    PortOnMachine port({});
    port.setDevice(m_device.get());
    m_device->vpnIp = QStringLiteral("127.0.0.1:1");
    QVERIFY(port.create({&port}));

    // The product's delay, measured.
    VirtualSerialPort::setOnlineDelay(VirtualSerialPort::OnlineDelayMs);
    QElapsedTimer clock;
    clock.start();
    port.deviceOnline();
    QVERIFY(m_log.contains("VirtualSerialPort::deviceOnline", QString()));
    QVERIFY(!m_log.contains("VirtualSerialPort::connectPort", QString()));
    QTRY_VERIFY_WITH_TIMEOUT(m_log.contains("VirtualSerialPort::connectPort", QStringLiteral("Get port number...")), 10000);
    // A timer this long may fire up to 5 % early.
    QVERIFY2(clock.elapsed() >= VirtualSerialPort::OnlineDelayMs * 95 / 100, qPrintable(QString::number(clock.elapsed())));
    // Nobody answers at that address: the request fails and no bridge starts.
    QTRY_VERIFY_WITH_TIMEOUT(m_log.contains("VirtualSerialPort::getRemoteAccessError", QString()), 30000);
    QVERIFY(!port.isConnected());
}

void TestVirtualSerialPort::connectPortNeedsAnOnlineDevice_data()
{
    QTest::addColumn<QString>("situation");
    QTest::newRow("offline") << QStringLiteral("offline");
    QTest::newRow("no device") << QStringLiteral("no device");
    QTest::newRow("device dropped") << QStringLiteral("device dropped");
    QTest::newRow("removed") << QStringLiteral("removed");
}

void TestVirtualSerialPort::connectPortNeedsAnOnlineDevice()
{
    QFETCH(QString, situation);
    PortOnMachine port({});
    QVERIFY(port.create({&port}));
    port.setDevice(m_device.get());
    if (situation == QLatin1String("offline"))
        m_device->vpnStatus = 0;
    else if (situation == QLatin1String("no device"))
        port.setDevice(nullptr);
    else if (situation == QLatin1String("device dropped"))
        m_device.reset();
    else
        QVERIFY(port.destroy());

    QVERIFY(!port.connectPort());
    QVERIFY(!m_log.contains("VirtualSerialPort::connectPort", QStringLiteral("Get port number...")));
}

void TestVirtualSerialPort::delayedConnectAfterDeleteIsDropped()
{
    QPointer<VirtualSerialPort> port = new PortOnMachine({});
    port->setDevice(m_device.get());
    port->deviceOnline();
    delete port;
    QVERIFY(waitPastDelay(ShortDelayMs));
    QVERIFY(!m_log.contains("VirtualSerialPort::connectPort", QString()));
}

void TestVirtualSerialPort::recordRoundTrip()
{
    const QJsonObject record{{QStringLiteral("baudRate"), 6}, {QStringLiteral("dataBit"), 2},
                             {QStringLiteral("stopBit"), 2},  {QStringLiteral("parity"), 1},
                             {QStringLiteral("type"), 3},     {QStringLiteral("deviceId"), 42},
                             {QStringLiteral("serialName"), QStringLiteral("COM9")},
                             {QStringLiteral("raw"), 0},      {QStringLiteral("echo"), 1},
                             {QStringLiteral("terminator"), 1}};
    std::unique_ptr<VirtualSerialPort> port(VirtualSerialPort::fromJson(record));
    QCOMPARE(port->toJson(), record);
    QCOMPARE(port->getDevice(), nullptr);
    QCOMPARE(port->getTcpName(), QString());
}

void TestVirtualSerialPort::recordDefaults()
{
    VirtualSerialPort fresh;
    QCOMPARE(fresh.toJson(), (QJsonObject{{QStringLiteral("baudRate"), 2}, {QStringLiteral("dataBit"), 3},
                                          {QStringLiteral("stopBit"), 0},  {QStringLiteral("parity"), 0},
                                          {QStringLiteral("type"), 0},     {QStringLiteral("deviceId"), -1},
                                          {QStringLiteral("serialName"), QString()},
                                          {QStringLiteral("raw"), 1},      {QStringLiteral("echo"), 0},
                                          {QStringLiteral("terminator"), 0}}));

    // Missing or non-numeric members read as 0, not as a new port's values.
    std::unique_ptr<VirtualSerialPort> read(VirtualSerialPort::fromJson(
        QJsonObject{{QStringLiteral("baudRate"), QStringLiteral("6")}, {QStringLiteral("serialName"), 3}}));
    const QJsonObject json = read->toJson();
    for (const QString &key : json.keys()) {
        if (key == QLatin1String("serialName"))
            QCOMPARE(json.value(key).toString(), QString());
        else
            QCOMPARE(json.value(key).toInt(-99), 0);
    }
}

void TestVirtualSerialPort::storedList()
{
    {
        HlvSettings settings;
        QVERIFY(StoredPorts::read(settings).isEmpty());
    }
    std::unique_ptr<VirtualSerialPort> first(portNamed(QStringLiteral("COM3")));
    std::unique_ptr<VirtualSerialPort> second(portNamed(QStringLiteral("COM4")));
    {
        HlvSettings settings;
        StoredPorts::write(settings, {first.get(), second.get()});
    }
    HlvSettings settings;
    const QVariantList stored = settings.value(QStringLiteral("virtual_serial_ports")).toList();
    QCOMPARE(stored.size(), 2);
    QCOMPARE(stored.first().toMap().value(QStringLiteral("serialName")).toString(), QStringLiteral("COM3"));

    QList<VirtualSerialPort *> read = StoredPorts::read(settings);
    QCOMPARE(read.size(), 2);
    QCOMPARE(read.at(0)->getSerialName(), QStringLiteral("COM3"));
    QCOMPARE(read.at(1)->toJson(), second->toJson());
    qDeleteAll(read);

    // A stored element that is no object reads as an empty record.
    settings.setValue(QStringLiteral("virtual_serial_ports"), QVariantList{42});
    read = StoredPorts::read(settings);
    QCOMPARE(read.size(), 1);
    QCOMPARE(read.first()->getDeviceId(), 0);
    qDeleteAll(read);
}

QTEST_GUILESS_MAIN(TestVirtualSerialPort)
#include "tst_virtualserialport.moc"
