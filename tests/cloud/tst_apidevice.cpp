#include <QtTest>

#include <QXmlStreamReader>

#include "cloud/apidevice.h"
#include "simulatorprocess.h"

class TestApiDevice : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void requestForm_data();
    void requestForm();
    void wrongKeyIsAnError();
    void untrustedDeviceIsAborted();

private:
    SimulatorProcess m_simulator;
};

void TestApiDevice::initTestCase()
{
    QVERIFY2(m_simulator.start(SimulatorProcess::sampleFixture(), {QStringLiteral("--role"), QStringLiteral("device")}),
             qPrintable(m_simulator.errorString()));
}

void TestApiDevice::init()
{
    m_simulator.exportEnvironment();
    // Device calls never use the cloud URL; point it somewhere that would fail.
    qputenv("CORRIVO_CLOUD_URL", "https://cloud.invalid");
    QVERIFY(m_simulator.clearRequests());
}

void TestApiDevice::requestForm_data()
{
    QTest::addColumn<int>("sourceType");
    QTest::newRow("RS 232 A") << 0;
    QTest::newRow("RS 232 B") << 1;
    QTest::newRow("USB") << 3;
}

void TestApiDevice::requestForm()
{
    QFETCH(int, sourceType);

    ApiDevice device;
    QSignalSpy success(&device, &ApiDevice::onGetRemoteAccessSuccess);
    QSignalSpy error(&device, &ApiDevice::onGetRemoteAccessError);
    device.getRemoteAccess(m_simulator.hostAndPort(), QStringLiteral("devkey7"), sourceType);
    QTRY_COMPARE_WITH_TIMEOUT(success.size() + error.size(), 1, 30000);
    QCOMPARE(success.size(), 1);
    QCOMPARE(success.first().at(0).toInt(), 200);

    QXmlStreamReader xml(success.first().at(1).toString());
    QString port;
    while (!xml.atEnd()) {
        if (xml.readNext() == QXmlStreamReader::StartElement && xml.name() == QLatin1String("dst_ip_port"))
            port = xml.readElementText();
    }
    QVERIFY(!xml.hasError());
    QCOMPARE(port, QStringLiteral("4001"));

    const QJsonArray requests = m_simulator.requests();
    QCOMPARE(requests.size(), 1);
    const QJsonObject request = requests.first().toObject();
    QCOMPARE(request.value(QLatin1String("method")).toString(), QStringLiteral("GET"));
    QCOMPARE(request.value(QLatin1String("target")).toString(),
             QStringLiteral("/api/v1/remote/access/%1?api_key=%2").arg(sourceType).arg(m_simulator.masked("devkey7")));
    QCOMPARE(SimulatorProcess::header(request, QStringLiteral("Host")), m_simulator.hostAndPort());
    QVERIFY(!SimulatorProcess::hasHeader(request, QStringLiteral("x-access-token")));
    QVERIFY(!SimulatorProcess::hasHeader(request, QStringLiteral("Authorization")));
}

void TestApiDevice::wrongKeyIsAnError()
{
    ApiDevice device;
    QSignalSpy success(&device, &ApiDevice::onGetRemoteAccessSuccess);
    QSignalSpy error(&device, &ApiDevice::onGetRemoteAccessError);
    device.getRemoteAccess(m_simulator.hostAndPort(), QStringLiteral("devkey8-wrong"), 1);
    QTRY_COMPARE_WITH_TIMEOUT(error.size(), 1, 30000);
    QCOMPARE(success.size(), 0);
    QCOMPARE(error.first().at(0).toInt(), 401);
    QCOMPARE(error.first().at(1).toString(), QString());
}

void TestApiDevice::untrustedDeviceIsAborted()
{
    qunsetenv("CORRIVO_CA_FILE");
    ApiDevice device;
    QSignalSpy success(&device, &ApiDevice::onGetRemoteAccessSuccess);
    QSignalSpy error(&device, &ApiDevice::onGetRemoteAccessError);
    device.getRemoteAccess(m_simulator.hostAndPort(), QStringLiteral("devkey7"), 1);
    QTRY_COMPARE_WITH_TIMEOUT(error.size(), 1, 30000);
    QCOMPARE(success.size(), 0);
    QCOMPARE(error.first().at(0).toInt(), -1);
    QCOMPARE(error.first().at(1).toString(), QString());
    QVERIFY(m_simulator.requests().isEmpty());
}

QTEST_GUILESS_MAIN(TestApiDevice)
#include "tst_apidevice.moc"
