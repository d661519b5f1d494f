#include <QtTest>

#include <QJsonDocument>

#include "model/hlvdevice.h"

class TestHlvDevice : public QObject
{
    Q_OBJECT

private slots:
    void constructorValues();
    void emptyObjectReadsAsZeros();
    void readingRules_data();
    void readingRules();
    void flagsAreNumbers_data();
    void flagsAreNumbers();
    void toJsonWritesExactlyTheRecord();
    void roundTrip();
    void copyValuesFromTellsWhetherAnythingDiffered_data();
    void copyValuesFromTellsWhetherAnythingDiffered();
};

namespace {

QJsonObject parse(const char *json)
{
    return QJsonDocument::fromJson(json).object();
}

} // namespace

void TestHlvDevice::constructorValues()
{
    HlvDevice device;
    QCOMPARE(device.id, -1);
    QCOMPARE(device.name, QString());
    QCOMPARE(device.type, 6);
    QCOMPARE(device.domainId, -1);
    QCOMPARE(device.dataDeliveryEnable, false);
    QCOMPARE(device.remoteAccessEnable, false);
    QCOMPARE(device.vpnStatus, 0);
    QCOMPARE(device.vpnIp, QString());
    QCOMPARE(device.apiKey, QString());
}

void TestHlvDevice::emptyObjectReadsAsZeros()
{
    std::unique_ptr<HlvDevice> device(HlvDevice::fromJson({}));
    QCOMPARE(device->parent(), nullptr);
    QCOMPARE(device->id, 0);
    QCOMPARE(device->type, 0);
    QCOMPARE(device->domainId, 0);
    QCOMPARE(device->vpnStatus, 0);
    QCOMPARE(device->name, QString());
    QCOMPARE(device->vpnIp, QString());
    QCOMPARE(device->apiKey, QString());
    QCOMPARE(device->dataDeliveryEnable, false);
    QCOMPARE(device->remoteAccessEnable, false);
}

void TestHlvDevice::readingRules_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<int>("id");
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("vpnStatus");

    QTest::newRow("well formed") << QByteArray(R"({"id": 7, "name": "Pompe", "vpn_status": 1})") << 7 << "Pompe" << 1;
    QTest::newRow("null") << QByteArray(R"({"id": null, "name": null, "vpn_status": null})") << 0 << "" << 0;
    QTest::newRow("numbers as text") << QByteArray(R"({"id": "7", "name": 12, "vpn_status": "1"})") << 0 << "" << 0;
    QTest::newRow("booleans") << QByteArray(R"({"id": true, "name": false, "vpn_status": true})") << 0 << "" << 0;
    QTest::newRow("fraction") << QByteArray(R"({"id": 7.5, "name": "x", "vpn_status": 1.0})") << 0 << "x" << 1;
    QTest::newRow("negative") << QByteArray(R"({"id": -3, "name": "", "vpn_status": -1})") << -3 << "" << -1;
    QTest::newRow("arrays and objects") << QByteArray(R"({"id": [7], "name": {"a": 1}, "vpn_status": [1]})") << 0 << "" << 0;
    QTest::newRow("accented name") << QByteArray(R"({"id": 1, "name": "Gr\u00fcnwald \u00c6r\u00f8 \u2116 5"})") << 1
                                   << QStringLiteral("Gr\u00fcnwald \u00c6r\u00f8 \u2116 5") << 0;
}

void TestHlvDevice::readingRules()
{
    QFETCH(QByteArray, json);
    QFETCH(int, id);
    QFETCH(QString, name);
    QFETCH(int, vpnStatus);

    std::unique_ptr<HlvDevice> device(HlvDevice::fromJson(QJsonDocument::fromJson(json).object()));
    QCOMPARE(device->id, id);
    QCOMPARE(device->name, name);
    QCOMPARE(device->vpnStatus, vpnStatus);
}

void TestHlvDevice::flagsAreNumbers_data()
{
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<bool>("flag");
    QTest::newRow("1") << QByteArray("1") << true;
    QTest::newRow("1.0") << QByteArray("1.0") << true;
    QTest::newRow("0") << QByteArray("0") << false;
    QTest::newRow("2") << QByteArray("2") << false;
    QTest::newRow("true") << QByteArray("true") << false;
    QTest::newRow("\"1\"") << QByteArray("\"1\"") << false;
    QTest::newRow("null") << QByteArray("null") << false;
}

void TestHlvDevice::flagsAreNumbers()
{
    QFETCH(QByteArray, value);
    QFETCH(bool, flag);
    const QByteArray json = R"({"data_delivery_enable": )" + value + R"(, "remote_access_enable": )" + value + "}";
    std::unique_ptr<HlvDevice> device(HlvDevice::fromJson(QJsonDocument::fromJson(json).object()));
    QCOMPARE(device->dataDeliveryEnable, flag);
    QCOMPARE(device->remoteAccessEnable, flag);
}

void TestHlvDevice::toJsonWritesExactlyTheRecord()
{
    HlvDevice device;
    device.id = 7;
    device.name = QStringLiteral("Pompe n\u00b0 1");
    device.type = 1;
    device.domainId = 42;
    device.dataDeliveryEnable = true;
    device.remoteAccessEnable = true;
    device.vpnStatus = 1;
    device.vpnIp = QStringLiteral("10.8.0.6");
    device.apiKey = QStringLiteral("devkey7");

    const QJsonObject expected = parse(R"({"id": 7, "name": "Pompe n\u00b0 1", "type": 1, "domain_id": 42,
        "data_delivery_enable": 1, "remote_access_enable": 1, "vpn_status": 1, "vpn_ip": "10.8.0.6",
        "api_key": "devkey7"})");
    const QJsonObject json = device.toJson();
    QCOMPARE(json, expected);
    QVERIFY(json.value(QLatin1String("data_delivery_enable")).isDouble());

    device.dataDeliveryEnable = false;
    QCOMPARE(device.toJson().value(QLatin1String("data_delivery_enable")), QJsonValue(0));
}

void TestHlvDevice::roundTrip()
{
    const QJsonObject json = parse(R"({"id": 7, "name": "\u00c6r\u00f8", "type": 5, "domain_id": 42,
        "data_delivery_enable": 0, "remote_access_enable": 1, "vpn_status": 3, "vpn_ip": "10.8.0.6",
        "api_key": "k", "unknown": "ignored"})");
    std::unique_ptr<HlvDevice> device(HlvDevice::fromJson(json));
    QJsonObject expected = json;
    expected.remove(QStringLiteral("unknown"));
    QCOMPARE(device->toJson(), expected);
}

void TestHlvDevice::copyValuesFromTellsWhetherAnythingDiffered_data()
{
    // A merge keeps what it derived from a device (its JSON for the page, the stored
    // list) unless this says a value changed: each member alone must count.
    QTest::addColumn<QByteArray>("member");
    QTest::addColumn<QJsonValue>("value");
    QTest::addColumn<bool>("differs");
    QTest::newRow("nothing") << QByteArray("name") << QJsonValue(QStringLiteral("Pompe")) << false;
    QTest::newRow("name") << QByteArray("name") << QJsonValue(QStringLiteral("Pompe 2")) << true;
    QTest::newRow("type") << QByteArray("type") << QJsonValue(5) << true;
    QTest::newRow("domain_id") << QByteArray("domain_id") << QJsonValue(43) << true;
    QTest::newRow("data_delivery_enable") << QByteArray("data_delivery_enable") << QJsonValue(0) << true;
    QTest::newRow("remote_access_enable") << QByteArray("remote_access_enable") << QJsonValue(0) << true;
    QTest::newRow("vpn_status") << QByteArray("vpn_status") << QJsonValue(0) << true;
    QTest::newRow("vpn_ip") << QByteArray("vpn_ip") << QJsonValue(QStringLiteral("10.8.0.7")) << true;
    QTest::newRow("api_key") << QByteArray("api_key") << QJsonValue(QStringLiteral("other")) << true;
    // The id is not a value: records are paired by it.
    QTest::newRow("id") << QByteArray("id") << QJsonValue(8) << false;
}

void TestHlvDevice::copyValuesFromTellsWhetherAnythingDiffered()
{
    QFETCH(QByteArray, member);
    QFETCH(QJsonValue, value);
    QFETCH(bool, differs);

    const QJsonObject json = parse(R"({"id": 7, "name": "Pompe", "type": 1, "domain_id": 42,
        "data_delivery_enable": 1, "remote_access_enable": 1, "vpn_status": 1, "vpn_ip": "10.8.0.6",
        "api_key": "k"})");
    QJsonObject changed = json;
    changed.insert(QString::fromLatin1(member), value);
    std::unique_ptr<HlvDevice> held(HlvDevice::fromJson(json));
    std::unique_ptr<HlvDevice> fresh(HlvDevice::fromJson(changed));

    QCOMPARE(held->copyValuesFrom(*fresh), differs);
    changed.insert(QStringLiteral("id"), 7);
    QCOMPARE(held->toJson(), changed);
    // Taken over, the values are the same.
    QVERIFY(!held->copyValuesFrom(*fresh));
}

QTEST_GUILESS_MAIN(TestHlvDevice)
#include "tst_hlvdevice.moc"
