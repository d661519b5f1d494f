#include <QtTest>

#include <QJsonArray>
#include <QJsonObject>

#include <memory>

#include "model/domainlist.h"
#include "model/hlvdevice.h"
#include "model/hlvdomain.h"
#include "model/hlvsettings.h"
#include "serial/storedports.h"
#include "serial/virtualserialport.h"
#include "serial/virtualserialportsmanager.h"
#include "serialtestsupport.h"
#include "simulatorprocess.h"
#include "testhome.h"
#include "vpn/videru.h"
#include "vpn/viderusignals.h"

using namespace SerialTestSupport;

namespace {

// Both delays while a test runs, unless it says otherwise.
constexpr int ShortDelayMs = 50;

const QString ReconnectLine = QStringLiteral("Reconnect port after 1000ms");
const QString ShortReconnectLine = QStringLiteral("Reconnect port after 50ms");

// From the first bridge request to a running relay: the delay of a device that came
// online, the device's answer and the relay's start, with room to spare.
constexpr int BridgeTimeoutMs = 20000;

QString setupcList()
{
    QString output;
    return runTool(QStringLiteral("setupc"), {QStringLiteral("list")}, &output) == 0 ? output
                                                                                       : QStringLiteral("<failed>");
}

QStringList storedNames()
{
    HlvSettings settings;
    QStringList names;
    const QVariantList stored = settings.value(QStringLiteral("virtual_serial_ports")).toList();
    for (const QVariant &record : stored)
        names.append(record.toMap().value(QStringLiteral("serialName")).toString());
    return names;
}

} // namespace

class TestVirtualSerialPortsManager : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void cleanupTestCase();

    void createRefusesBadTypeWithoutRunningATool();
    void createRefusesNullDevice();
    void createForTheConnectedDeviceBridgesItsPorts();
    void createForAnotherDeviceLeavesItUnbridged();
    void destroyWhileBridged();
    void destroyOfAnUnknownPort();
    void storedListReloadsAsLowestFreeNames();
    void storedPortOfAnUnknownDeviceIsKept();
    void bridgeEndingWhileTheVpnServesItsDeviceComesBackOnce();
    void bridgeEndingWhileTheVpnServesAnotherDeviceStaysDown();
    void vpnDisconnectStopsEveryBridge();
    void vpnDisconnectWithdrawsWhatIsPending_data();
    void vpnDisconnectWithdrawsWhatIsPending();
    void reconnectLeavesARelayThatCameUpMeanwhile();
    void domainReloadDroppingTheDeviceStopsItsPorts();
    void destroyAllRemovesPairsAndKeepsTheList();
    void startUpCleanUpRemovesOnlyOurPairs();

private:
    void vpnConnectedTo(int deviceId);
    void setReconnectDelay(int ms);
    bool settle();
    bool bridgeOneOfSeven();
    QJsonObject fixture() const;
    HlvDevice *device(int id) const;
    int bridges() const;

    LogCollector m_log;
    QString m_address;
    std::unique_ptr<EchoServer> m_echo;
    SimulatorProcess m_simulator;
    std::unique_ptr<SerialDirGuard> m_serialDir;
    DomainList m_domains;
    std::unique_ptr<VidEru> m_vpn;
    std::unique_ptr<VirtualSerialPortsManager> m_manager;
    int m_reconnectDelayMs = ShortDelayMs;
};

QJsonObject TestVirtualSerialPortsManager::fixture() const
{
    // The devices answer at this run's own loopback address on the usual HTTPS port,
    // and their serial service is the echo service there.
    QJsonObject fixture = SimulatorProcess::sampleFixture();
    QJsonArray domains = fixture.value(QLatin1String("domains")).toArray();
    QJsonObject domain = domains.first().toObject();
    QJsonArray devices = domain.value(QLatin1String("devices")).toArray();
    for (qsizetype i = 0; i < devices.size(); ++i) {
        QJsonObject device = devices.at(i).toObject();
        device.insert(QStringLiteral("vpn_ip"), m_address);
        device.insert(QStringLiteral("vpn_status"), 1);
        device.insert(QStringLiteral("dst_ip_port"), int(m_echo->port()));
        devices[i] = device;
    }
    domain.insert(QStringLiteral("devices"), devices);
    domains[0] = domain;
    fixture.insert(QStringLiteral("domains"), domains);
    return fixture;
}

void TestVirtualSerialPortsManager::initTestCase()
{
    TestHome::setUpIdentity();
    m_log.start(QStringLiteral("hlv_serials"));

    m_address = uniqueLoopbackAddress();
    m_echo = std::make_unique<EchoServer>(m_address);
    QVERIFY(m_echo->port() != 0);
    QVERIFY2(m_simulator.start(fixture(), {QStringLiteral("--role"), QStringLiteral("device"), QStringLiteral("--listen"),
                                           m_address, QStringLiteral("--port"), QStringLiteral("443")}),
             qPrintable(m_simulator.errorString()));
    m_simulator.exportEnvironment();

    // The working directory takes the device answer's passing file.
    QVERIFY(QDir::setCurrent(m_simulator.directory()));
}

void TestVirtualSerialPortsManager::init()
{
    TestHome::wipe();
    m_log.clear();
    m_serialDir = std::make_unique<SerialDirGuard>();
    QVERIFY(m_serialDir->isValid());

    const QJsonArray domains = fixture().value(QLatin1String("domains")).toArray();
    QList<HlvDomain *> fresh;
    for (const QJsonValue &domain : domains)
        fresh.append(HlvDomain::fromJson(domain.toObject()));
    m_domains.merge(fresh);
    QVERIFY(device(7) && device(8));

    VirtualSerialPort::setOnlineDelay(ShortDelayMs);
    setReconnectDelay(ShortDelayMs);
    m_vpn = std::make_unique<VidEru>();
    m_manager = std::make_unique<VirtualSerialPortsManager>(m_vpn.get(), &m_domains);
}

void TestVirtualSerialPortsManager::cleanup()
{
    m_manager.reset();
    m_vpn.reset();
    m_domains.merge({});
    m_serialDir.reset();
    m_echo->closeConnections();
    VirtualSerialPort::setOnlineDelay(VirtualSerialPort::OnlineDelayMs);
    VirtualSerialPortsManager::setReconnectDelay(VirtualSerialPortsManager::ReconnectDelayMs);
}

void TestVirtualSerialPortsManager::cleanupTestCase()
{
    m_simulator.stop();
    m_echo.reset();
    m_log.stop();
}

HlvDevice *TestVirtualSerialPortsManager::device(int id) const
{
    for (HlvDomain *domain : m_domains.domains()) {
        for (HlvDevice *device : std::as_const(domain->devices)) {
            if (device->id == id)
                return device;
        }
    }
    return nullptr;
}

// The VPN's events reach the controller through the process-wide relay, as the
// worker thread sends them.
void TestVirtualSerialPortsManager::vpnConnectedTo(int deviceId)
{
    m_vpn->setDeviceId(deviceId);
    emit VidEruSignals::instance()->connected();
    QTRY_COMPARE(m_vpn->getStatus(), 3);
}

void TestVirtualSerialPortsManager::setReconnectDelay(int ms)
{
    VirtualSerialPortsManager::setReconnectDelay(ms);
    m_reconnectDelayMs = ms;
}

// Comes back true once every delayed connection and reconnection started so far has
// come due and every request for a device's port made so far has been answered (the
// device simulator answers each): what the ports do on their own is done.
bool TestVirtualSerialPortsManager::settle()
{
    if (!waitPastDelay(ShortDelayMs) || !waitPastDelay(m_reconnectDelayMs))
        return false;
    return QTest::qWaitFor([this] {
        return m_log.count("VirtualSerialPort::getRemoteAccessSuccess", QString())
            >= m_log.count("VirtualSerialPort::connectPort", QStringLiteral("Get port number..."));
    }, 30000);
}

// The VPN serves device 7, whose one port is bridged, and nothing else is under way.
bool TestVirtualSerialPortsManager::bridgeOneOfSeven()
{
    vpnConnectedTo(7);
    return m_manager->create(0, device(7)) && QTest::qWaitFor([this] { return bridges() == 1; }, BridgeTimeoutMs)
        && settle();
}

// Relays running in this test's serial port directory (the pair holders aside).
int TestVirtualSerialPortsManager::bridges() const
{
    int count = 0;
    for (qint64 pid : m_serialDir->processes()) {
        QFile cmdline(QStringLiteral("/proc/%1/cmdline").arg(pid));
        if (cmdline.open(QIODevice::ReadOnly) && cmdline.readAll().contains("com2tcp"))
            ++count;
    }
    return count;
}

void TestVirtualSerialPortsManager::createRefusesBadTypeWithoutRunningATool()
{
    // Any setupc run makes its state folder again.
    QVERIFY(QDir(m_serialDir->path() + QStringLiteral("/.pairs")).removeRecursively());
    QVERIFY(!m_manager->create(4, device(7)));
    QVERIFY(!m_manager->create(-1, device(7)));
    QVERIFY(!QFileInfo::exists(m_serialDir->path() + QStringLiteral("/.pairs")));
    QVERIFY(m_manager->getVirtualSerialPortsByDeviceId(7).isEmpty());
}

void TestVirtualSerialPortsManager::createRefusesNullDevice()
{
    QVERIFY(!m_manager->create(1, nullptr));
    QVERIFY(m_log.contains("VirtualSerialPortsManager::create", QStringLiteral("Device is NULL")));
    QCOMPARE(setupcList(), QString());
}

void TestVirtualSerialPortsManager::createForTheConnectedDeviceBridgesItsPorts()
{
    vpnConnectedTo(7);
    QVERIFY(m_manager->create(0, device(7)));
    QVERIFY(m_manager->create(1, device(7)));
    QCOMPARE(storedNames(), (QStringList{QStringLiteral("COM2"), QStringLiteral("COM3")}));

    const QList<VirtualSerialPort *> ports = m_manager->getVirtualSerialPortsByDeviceId(7);
    QCOMPARE(ports.size(), 2);
    QTRY_VERIFY_WITH_TIMEOUT(ports.at(0)->isConnected() && ports.at(1)->isConnected() && bridges() == 2,
                             BridgeTimeoutMs);

    for (const QString &name : {QStringLiteral("COM2"), QStringLiteral("COM3")}) {
        PortEnd a(m_serialDir->portPath(name));
        QVERIFY(a.isOpen());
        QVERIFY(a.writeAll(allByteValues()));
        QCOMPARE(a.read(256), allByteValues());
    }

    // Settled: the overlapping attempts of the two creates do not keep restarting it.
    const int connections = m_echo->connectionCount();
    QVERIFY(settle());
    QCOMPARE(m_echo->connectionCount(), connections);
    QCOMPARE(bridges(), 2);
    QVERIFY(!m_log.contains("VirtualSerialPort::connectPort", QStringLiteral("is running then kill")));
}

void TestVirtualSerialPortsManager::createForAnotherDeviceLeavesItUnbridged()
{
    vpnConnectedTo(7);
    QVERIFY(m_manager->create(2, device(7)));
    VirtualSerialPort *ofSeven = m_manager->getVirtualSerialPortsByDeviceId(7).value(0);
    QTRY_VERIFY_WITH_TIMEOUT(ofSeven->isConnected() && bridges() == 1, BridgeTimeoutMs);

    QVERIFY(m_manager->create(2, device(8)));
    VirtualSerialPort *ofEight = m_manager->getVirtualSerialPortsByDeviceId(8).value(0);
    QVERIFY(ofEight);
    QCOMPARE(ofEight->getSerialName(), QStringLiteral("COM3"));
    // Device 7's bridge was stopped by the create and comes back.
    QTRY_VERIFY_WITH_TIMEOUT(ofSeven->isConnected() && bridges() == 1, BridgeTimeoutMs);
    QVERIFY(settle());
    QVERIFY(!ofEight->isConnected());
    QCOMPARE(bridges(), 1);
}

void TestVirtualSerialPortsManager::destroyWhileBridged()
{
    vpnConnectedTo(7);
    QVERIFY(m_manager->create(0, device(7)));
    QVERIFY(m_manager->create(3, device(7)));
    QTRY_VERIFY_WITH_TIMEOUT(bridges() == 2, BridgeTimeoutMs);
    QVERIFY(settle());
    m_log.clear();

    QVERIFY(m_manager->destroy(7, 0));
    QCOMPARE(setupcList(), QStringLiteral("       CNCA1 PortName=COM3\n       CNCB1 PortName=ROZIZER3\n"));
    QCOMPARE(storedNames(), QStringList{QStringLiteral("COM3")});
    QCOMPARE(m_manager->getVirtualSerialPortsByDeviceId(7).size(), 1);
    QVERIFY(settle());
    QVERIFY(!m_log.contains("VirtualSerialPortsManager::onPortDisconnected", ShortReconnectLine));
    QCOMPARE(bridges(), 1);
}

void TestVirtualSerialPortsManager::destroyOfAnUnknownPort()
{
    QVERIFY(m_manager->create(0, device(7)));
    QVERIFY(!m_manager->destroy(7, 1));
    QVERIFY(!m_manager->destroy(8, 0));
    QCOMPARE(storedNames(), QStringList{QStringLiteral("COM2")});
}

void TestVirtualSerialPortsManager::storedListReloadsAsLowestFreeNames()
{
    {
        std::unique_ptr<VirtualSerialPort> first(VirtualSerialPort::fromJson(
            QJsonObject{{QStringLiteral("deviceId"), 7}, {QStringLiteral("type"), 0}, {QStringLiteral("serialName"), QStringLiteral("COM3")}}));
        std::unique_ptr<VirtualSerialPort> second(VirtualSerialPort::fromJson(
            QJsonObject{{QStringLiteral("deviceId"), 7}, {QStringLiteral("type"), 1}, {QStringLiteral("serialName"), QStringLiteral("COM4")}}));
        HlvSettings settings;
        StoredPorts::write(settings, {first.get(), second.get()});
    }
    // A leftover pair of ours from an earlier run goes at load.
    QCOMPARE(installPair(QStringLiteral("COM2"), QStringLiteral("ROZIZER2")), 0);

    m_manager->loadVirtualPorts();
    QVERIFY(m_log.contains("VirtualSerialPortsManager::loadVirtualPorts", QStringLiteral("Load saved serials")));
    const QList<VirtualSerialPort *> ports = m_manager->getVirtualSerialPortsByDeviceId(7);
    QCOMPARE(ports.size(), 2);
    QCOMPARE(ports.at(0)->getSerialName(), QStringLiteral("COM2"));
    QCOMPARE(ports.at(1)->getSerialName(), QStringLiteral("COM3"));
    QCOMPARE(setupcList(), QStringLiteral("       CNCA0 PortName=COM2\n       CNCB0 PortName=ROZIZER2\n"
                                          "       CNCA1 PortName=COM3\n       CNCB1 PortName=ROZIZER3\n"));
    // Loading does not write the list back.
    QCOMPARE(storedNames(), (QStringList{QStringLiteral("COM3"), QStringLiteral("COM4")}));
}

void TestVirtualSerialPortsManager::storedPortOfAnUnknownDeviceIsKept()
{
    {
        std::unique_ptr<VirtualSerialPort> port(VirtualSerialPort::fromJson(
            QJsonObject{{QStringLiteral("deviceId"), 99}, {QStringLiteral("serialName"), QStringLiteral("COM5")}}));
        HlvSettings settings;
        StoredPorts::write(settings, {port.get()});
    }
    vpnConnectedTo(99);
    m_manager->loadVirtualPorts();
    QCOMPARE(m_manager->getVirtualSerialPortsByDeviceId(99).size(), 1);
    QCOMPARE(setupcList(), QString());

    QVERIFY(m_manager->create(0, device(7)));
    QCOMPARE(storedNames(), (QStringList{QStringLiteral("COM5"), QStringLiteral("COM2")}));
}

void TestVirtualSerialPortsManager::bridgeEndingWhileTheVpnServesItsDeviceComesBackOnce()
{
    // The product's reconnect delay.
    setReconnectDelay(VirtualSerialPortsManager::ReconnectDelayMs);
    QVERIFY(bridgeOneOfSeven());
    const int connections = m_echo->connectionCount();
    m_log.clear();

    m_echo->closeConnections();
    QTRY_VERIFY(m_log.contains("VirtualSerialPortsManager::onPortDisconnected", ReconnectLine));
    QTRY_VERIFY_WITH_TIMEOUT(m_echo->connectionCount() == connections + 1 && bridges() == 1, BridgeTimeoutMs);
    QVERIFY(settle());
    QCOMPARE(m_echo->connectionCount(), connections + 1);
    QCOMPARE(m_log.count("VirtualSerialPortsManager::onPortDisconnected", ReconnectLine), 1);

    PortEnd a(m_serialDir->portPath(QStringLiteral("COM2")));
    QVERIFY(a.writeAll("back"));
    QCOMPARE(a.read(4), QByteArray("back"));
}

void TestVirtualSerialPortsManager::bridgeEndingWhileTheVpnServesAnotherDeviceStaysDown()
{
    QVERIFY(bridgeOneOfSeven());
    const int connections = m_echo->connectionCount();

    // The tunnel now serves device 8.
    m_vpn->setDeviceId(8);
    m_echo->closeConnections();
    QTRY_COMPARE(bridges(), 0);
    QVERIFY(settle());
    QVERIFY(!m_log.contains("VirtualSerialPortsManager::onPortDisconnected", ShortReconnectLine));
    QCOMPARE(m_echo->connectionCount(), connections);
}

void TestVirtualSerialPortsManager::vpnDisconnectStopsEveryBridge()
{
    vpnConnectedTo(7);
    QVERIFY(m_manager->create(0, device(7)));
    QVERIFY(m_manager->create(1, device(7)));
    QTRY_VERIFY_WITH_TIMEOUT(bridges() == 2, BridgeTimeoutMs);

    emit VidEruSignals::instance()->disconnected();
    QTRY_COMPARE(m_vpn->getStatus(), 1);
    QCOMPARE(bridges(), 0);
    for (VirtualSerialPort *port : m_manager->getVirtualSerialPortsByDeviceId(7))
        QVERIFY(!port->isConnected());
    QVERIFY(settle());
    QCOMPARE(bridges(), 0);
    // The pairs stay.
    QCOMPARE(setupcList().count(QLatin1String("CNCA")), 2);
}

void TestVirtualSerialPortsManager::vpnDisconnectWithdrawsWhatIsPending_data()
{
    QTest::addColumn<bool>("requestMade");
    QTest::newRow("a connection waiting for its delay") << false;
    QTest::newRow("a request not answered yet") << true;
}

// The tunnel goes down while a port is on its way to a bridge: nothing comes up later.
void TestVirtualSerialPortsManager::vpnDisconnectWithdrawsWhatIsPending()
{
    QFETCH(bool, requestMade);
    // Long enough that the tunnel goes down first in the row that waits for it.
    const int onlineDelayMs = requestMade ? ShortDelayMs : 1000;
    VirtualSerialPort::setOnlineDelay(onlineDelayMs);
    QVERIFY(m_manager->create(0, device(7)));
    QCOMPARE(bridges(), 0);
    vpnConnectedTo(7);
    const auto requests = [this] {
        return m_log.count("VirtualSerialPort::connectPort", QStringLiteral("Get port number..."));
    };
    const auto answers = [this] { return m_log.count("VirtualSerialPort::getRemoteAccessSuccess", QString()); };
    if (requestMade) {
        // The device holds its answer back until the tunnel is down.
        QVERIFY(m_simulator.addFault({{QStringLiteral("path"), QStringLiteral("/api/v1/remote/access/*")},
                                      {QStringLiteral("delay_ms"), 1500},
                                      {QStringLiteral("times"), 1}}));
        QTRY_VERIFY_WITH_TIMEOUT(requests() == 1, BridgeTimeoutMs);
        QCOMPARE(answers(), 0);
    } else {
        QCOMPARE(requests(), 0);
    }
    emit VidEruSignals::instance()->disconnected();
    QTRY_COMPARE(m_vpn->getStatus(), 1);

    // Past the delayed connection (a timer of the same delay started later fires after
    // it) and past the held answer.
    QVERIFY(waitPastDelay(onlineDelayMs));
    if (requestMade)
        QTRY_VERIFY_WITH_TIMEOUT(answers() == 1, 10000);
    QVERIFY(settle());
    QCOMPARE(bridges(), 0);
    for (VirtualSerialPort *port : m_manager->getVirtualSerialPortsByDeviceId(7))
        QVERIFY(!port->isConnected());
    QCOMPARE(requests(), requestMade ? 1 : 0);
    if (requestMade)
        QVERIFY(m_log.contains("VirtualSerialPort::getRemoteAccessSuccess", QStringLiteral("Request withdrawn")));
}

void TestVirtualSerialPortsManager::domainReloadDroppingTheDeviceStopsItsPorts()
{
    vpnConnectedTo(7);
    QVERIFY(m_manager->create(0, device(7)));
    QTRY_VERIFY_WITH_TIMEOUT(bridges() == 1, BridgeTimeoutMs);

    // The device goes offline in a reload: its bridge stops and is not asked for.
    device(7)->vpnStatus = 0;
    m_manager->onDomainsUpdated(&m_domains);
    QTRY_COMPARE(bridges(), 0);

    // Then it goes from the list altogether; the port keeps no dangling device.
    QList<HlvDomain *> fresh;
    for (const HlvDomain *kept : m_domains.domains()) {
        QJsonObject domain = kept->toJson();
        QJsonArray devices;
        for (const QJsonValue &device : domain.value(QLatin1String("devices")).toArray()) {
            if (device.toObject().value(QLatin1String("id")).toInt() != 7)
                devices.append(device);
        }
        domain.insert(QStringLiteral("devices"), devices);
        fresh.append(HlvDomain::fromJson(domain));
    }
    m_domains.merge(fresh);
    m_manager->onDomainsUpdated(&m_domains);
    VirtualSerialPort *port = m_manager->getVirtualSerialPortsByDeviceId(7).value(0);
    QCOMPARE(port->getDevice(), nullptr);
    QVERIFY(!port->connectPort());
    QVERIFY(settle());
    QCOMPARE(bridges(), 0);
}

void TestVirtualSerialPortsManager::reconnectLeavesARelayThatCameUpMeanwhile()
{
    // Time for the tunnel to come back and a relay to come up before the reconnect of
    // the relay that ended is due.
    setReconnectDelay(1900);
    QVERIFY(bridgeOneOfSeven());
    const int connections = m_echo->connectionCount();
    m_log.clear();

    // The relay ends with the tunnel, which comes straight back.
    m_echo->closeConnections();
    QTRY_VERIFY(m_log.contains("VirtualSerialPortsManager::onPortDisconnected",
                               QStringLiteral("Reconnect port after 1900ms")));
    emit VidEruSignals::instance()->disconnected();
    QTRY_COMPARE(m_vpn->getStatus(), 1);
    vpnConnectedTo(7);
    QTRY_VERIFY_WITH_TIMEOUT(m_echo->connectionCount() == connections + 1 && bridges() == 1, BridgeTimeoutMs);

    // The reconnect comes due and finds the new relay running.
    QVERIFY(settle());
    QVERIFY(!m_log.contains("VirtualSerialPort::connectPort", QStringLiteral("is running then kill")));
    QCOMPARE(m_echo->connectionCount(), connections + 1);
    QCOMPARE(bridges(), 1);
}

void TestVirtualSerialPortsManager::destroyAllRemovesPairsAndKeepsTheList()
{
    vpnConnectedTo(7);
    QVERIFY(m_manager->create(0, device(7)));
    QVERIFY(m_manager->create(2, device(8)));
    QTRY_VERIFY_WITH_TIMEOUT(bridges() == 1, BridgeTimeoutMs);

    m_manager->destroyAll();
    QCOMPARE(setupcList(), QString());
    QCOMPARE(bridges(), 0);
    QCOMPARE(storedNames(), (QStringList{QStringLiteral("COM2"), QStringLiteral("COM3")}));
    QVERIFY(settle());
    QCOMPARE(bridges(), 0);

    // The next sign-in brings them back.
    m_manager->loadVirtualPorts();
    QCOMPARE(setupcList().count(QLatin1String("CNCA")), 2);
    QTRY_VERIFY_WITH_TIMEOUT(bridges() == 1, BridgeTimeoutMs);
}

void TestVirtualSerialPortsManager::startUpCleanUpRemovesOnlyOurPairs()
{
    m_manager.reset();
    QCOMPARE(installPair(QStringLiteral("COM5"), QStringLiteral("ROZIZER5")), 0);
    QCOMPARE(installPair(QStringLiteral("COM6"), QStringLiteral("OTHER6")), 0);
    QCOMPARE(installPair(QStringLiteral("COM7"), QStringLiteral("ROZIZER7")), 0);

    m_manager = std::make_unique<VirtualSerialPortsManager>(m_vpn.get(), &m_domains);
    QCOMPARE(setupcList(), QStringLiteral("       CNCA1 PortName=COM6\n       CNCB1 PortName=OTHER6\n"));
    QVERIFY(m_log.contains("VirtualSerialPortsManager::cleanPreviousVirtualSerialPorts", QStringLiteral("Remove com 0")));
    QVERIFY(m_log.contains("VirtualSerialPortsManager::cleanPreviousVirtualSerialPorts", QStringLiteral("Remove com 2")));
}

QTEST_GUILESS_MAIN(TestVirtualSerialPortsManager)
#include "tst_virtualserialportsmanager.moc"
