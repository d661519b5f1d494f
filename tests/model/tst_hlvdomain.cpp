#include <QtTest>

#include <QJsonArray>
#include <QJsonDocument>
#include <QPointer>
#include <QRandomGenerator>

#include "model/hlvdevice.h"
#include "model/hlvdomain.h"

using namespace Qt::StringLiterals;

namespace {

QJsonObject deviceJson(int id, int type = 1, const QString &name = QString())
{
    return QJsonObject{{QStringLiteral("id"), id}, {QStringLiteral("type"), type}, {QStringLiteral("name"), name}};
}

QList<int> ids(const QList<HlvDevice *> &devices)
{
    QList<int> result;
    for (const HlvDevice *device : devices)
        result << device->id;
    return result;
}

QList<HlvDevice *> makeDevices(const QList<int> &idList, const QString &name)
{
    QList<HlvDevice *> devices;
    for (int id : idList)
        devices << HlvDevice::fromJson(deviceJson(id, 1, name + QString::number(id)));
    return devices;
}

// Where each device of a merged list comes from: "h<i>=f<j>" the held device at
// position i with the values of fresh record j, "f<j>" fresh record j itself.
QStringList origins(const QList<HlvDevice *> &merged, const QList<HlvDevice *> &held,
                    const QList<QPointer<HlvDevice>> &fresh)
{
    QStringList result;
    for (const HlvDevice *device : merged) {
        const qsizetype h = held.indexOf(device);
        if (h >= 0) {
            result << QStringLiteral("h%1=%2").arg(h).arg(device->name);
            continue;
        }
        for (qsizetype f = 0; f < fresh.size(); ++f) {
            if (fresh.at(f) == device)
                result << QStringLiteral("f%1").arg(f);
        }
    }
    return result;
}

// The merge as a search of the fresh list for each held device, first match taken:
// the pairing the id-keyed merge must keep. Answers the origins as above.
QStringList searchedOrigins(const QList<int> &held, const QList<int> &fresh)
{
    QList<int> left;
    for (qsizetype f = 0; f < fresh.size(); ++f)
        left << int(f);
    QStringList result;
    for (qsizetype h = 0; h < held.size(); ++h) {
        for (qsizetype i = 0; i < left.size(); ++i) {
            if (fresh.at(left.at(i)) == held.at(h)) {
                result << QStringLiteral("h%1=f%2").arg(h).arg(left.at(i));
                left.removeAt(i);
                break;
            }
        }
    }
    for (int f : left)
        result << QStringLiteral("f%1").arg(f);
    return result;
}

// Fresh records named "f<position>", so that a held device shows whose values it took.
QList<HlvDevice *> freshDevices(const QList<int> &idList)
{
    QList<HlvDevice *> devices;
    for (qsizetype i = 0; i < idList.size(); ++i)
        devices << HlvDevice::fromJson(deviceJson(idList.at(i), 1, QStringLiteral("f%1").arg(i)));
    return devices;
}

// Deletes a domain and its devices at the end of a test, whatever happens.
struct DomainGuard
{
    ~DomainGuard()
    {
        if (domain)
            domain->deleteDevices();
        delete domain;
    }
    HlvDomain *domain = nullptr;
};

} // namespace

class TestHlvDomain : public QObject
{
    Q_OBJECT

private slots:
    void constructorValues();
    void devicesOfType2AreDropped();
    void vpnEnable_data();
    void vpnEnable();
    void malformedDevices_data();
    void malformedDevices();
    void toJson();
    void updateDevicesKeepsIdentity();
    void updateDevicesWithNothingFresh();
    void updateDevicesTakesFreshOnlyOnce();
    void updateDevicesPairsByIdInOrder_data();
    void updateDevicesPairsByIdInOrder();
    void updateDevicesPairsAsASearchWould();
    void updateDevicesReportsChanges_data();
    void updateDevicesReportsChanges();
    void destructorLeavesDevicesAlive();
    void deleteDevices();
};

void TestHlvDomain::constructorValues()
{
    HlvDomain domain;
    QCOMPARE(domain.id, -1);
    QCOMPARE(domain.name, QString());
    QCOMPARE(domain.vpnEnable, false);
    QVERIFY(domain.devices.isEmpty());
}

void TestHlvDomain::devicesOfType2AreDropped()
{
    DomainGuard guard;
    guard.domain = HlvDomain::fromJson({{QStringLiteral("id"), 42},
                                        {QStringLiteral("name"), QStringLiteral("Usine")},
                                        {QStringLiteral("devices"),
                                         QJsonArray{deviceJson(1, 1), deviceJson(2, 2), deviceJson(3, 6)}}});
    QCOMPARE(guard.domain->parent(), nullptr);
    QCOMPARE(guard.domain->id, 42);
    QCOMPARE(ids(guard.domain->devices), (QList<int>{1, 3}));
    QCOMPARE(guard.domain->devices.at(0)->type, 1);
    QCOMPARE(guard.domain->devices.at(1)->type, 6);
}

void TestHlvDomain::vpnEnable_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<bool>("vpnEnable");
    QTest::newRow("true") << QByteArray(R"({"vpn_enable": true})") << false;
    QTest::newRow("1") << QByteArray(R"({"vpn_enable": 1})") << true;
    QTest::newRow("2") << QByteArray(R"({"vpn_enable": 2})") << false;
    QTest::newRow("missing") << QByteArray("{}") << false;
}

void TestHlvDomain::vpnEnable()
{
    QFETCH(QByteArray, json);
    QFETCH(bool, vpnEnable);
    DomainGuard guard;
    guard.domain = HlvDomain::fromJson(QJsonDocument::fromJson(json).object());
    QCOMPARE(guard.domain->vpnEnable, vpnEnable);
    // Missing members read as 0 and "", not as the constructor's values.
    QCOMPARE(guard.domain->id, 0);
    QCOMPARE(guard.domain->name, QString());
}

void TestHlvDomain::malformedDevices_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<QList<int>>("types");
    QTest::newRow("devices missing") << QByteArray("{}") << QList<int>{};
    QTest::newRow("devices an object") << QByteArray(R"({"devices": {"id": 1}})") << QList<int>{};
    QTest::newRow("devices a string") << QByteArray(R"({"devices": "1,2"})") << QList<int>{};
    // A non-object element becomes a device read from {}: type 0, kept.
    QTest::newRow("elements not objects") << QByteArray(R"({"devices": [5, null, {"type": 2}, {"type": 1}]})")
                                          << QList<int>{0, 0, 1};
}

void TestHlvDomain::malformedDevices()
{
    QFETCH(QByteArray, json);
    QFETCH(QList<int>, types);
    DomainGuard guard;
    guard.domain = HlvDomain::fromJson(QJsonDocument::fromJson(json).object());
    QList<int> read;
    for (const HlvDevice *device : guard.domain->devices)
        read << device->type;
    QCOMPARE(read, types);
}

void TestHlvDomain::toJson()
{
    DomainGuard guard;
    guard.domain = new HlvDomain();
    guard.domain->id = 42;
    guard.domain->name = QStringLiteral("Usine \u00c6r\u00f8");
    guard.domain->vpnEnable = true;
    guard.domain->devices = makeDevices({7, 8}, QStringLiteral("d"));

    const QJsonObject json = guard.domain->toJson();
    QCOMPARE(json.keys(), (QStringList{QStringLiteral("devices"), QStringLiteral("id"), QStringLiteral("name"),
                                       QStringLiteral("vpn_enable")}));
    QCOMPARE(json.value(QLatin1String("vpn_enable")), QJsonValue(1));
    QCOMPARE(json.value(QLatin1String("name")).toString(), guard.domain->name);
    const QJsonArray devices = json.value(QLatin1String("devices")).toArray();
    QCOMPARE(devices.size(), 2);
    QCOMPARE(devices.at(0).toObject(), guard.domain->devices.at(0)->toJson());
    QCOMPARE(devices.at(1).toObject().value(QLatin1String("id")), QJsonValue(8));

    guard.domain->vpnEnable = false;
    QCOMPARE(guard.domain->toJson().value(QLatin1String("vpn_enable")), QJsonValue(0));
}

void TestHlvDomain::updateDevicesKeepsIdentity()
{
    DomainGuard guard;
    guard.domain = new HlvDomain();
    guard.domain->devices = makeDevices({1, 2, 3}, QStringLiteral("old"));
    QPointer<HlvDevice> held1 = guard.domain->devices.at(0);
    QPointer<HlvDevice> held2 = guard.domain->devices.at(1);
    QPointer<HlvDevice> held3 = guard.domain->devices.at(2);

    QList<HlvDevice *> fresh = makeDevices({3, 4}, QStringLiteral("new"));
    fresh.at(0)->vpnStatus = 1;
    fresh.at(0)->vpnIp = QStringLiteral("10.8.0.22");
    fresh.at(0)->type = 5;
    fresh.at(0)->domainId = 42;
    fresh.at(0)->dataDeliveryEnable = true;
    fresh.at(0)->remoteAccessEnable = true;
    fresh.at(0)->apiKey = QStringLiteral("fresh key");
    QPointer<HlvDevice> fresh3 = fresh.at(0);
    QPointer<HlvDevice> fresh4 = fresh.at(1);
    const QJsonObject fresh3Values = fresh.at(0)->toJson();

    guard.domain->updateDevices(fresh);

    QCOMPARE(ids(guard.domain->devices), (QList<int>{3, 4}));
    QVERIFY(!held1);
    QVERIFY(!held2);
    QVERIFY(!fresh3);
    QVERIFY(held3);
    QCOMPARE(guard.domain->devices.at(0), held3.data());
    QCOMPARE(held3->toJson(), fresh3Values);
    QVERIFY(fresh4);
    QCOMPARE(guard.domain->devices.at(1), fresh4.data());
}

void TestHlvDomain::updateDevicesWithNothingFresh()
{
    DomainGuard guard;
    guard.domain = new HlvDomain();
    guard.domain->devices = makeDevices({1, 2}, QStringLiteral("old"));
    QPointer<HlvDevice> held1 = guard.domain->devices.at(0);
    QPointer<HlvDevice> held2 = guard.domain->devices.at(1);
    guard.domain->updateDevices({});
    QVERIFY(guard.domain->devices.isEmpty());
    QVERIFY(!held1);
    QVERIFY(!held2);
}

void TestHlvDomain::updateDevicesTakesFreshOnlyOnce()
{
    // Two fresh records with one id: the first updates the held device, the second
    // is appended as a device of its own.
    DomainGuard guard;
    guard.domain = new HlvDomain();
    guard.domain->devices = makeDevices({5}, QStringLiteral("old"));
    QPointer<HlvDevice> held = guard.domain->devices.at(0);
    guard.domain->updateDevices(makeDevices({5, 5}, QStringLiteral("new")));
    QCOMPARE(ids(guard.domain->devices), (QList<int>{5, 5}));
    QCOMPARE(guard.domain->devices.at(0), held.data());
    QCOMPARE(held->name, QStringLiteral("new5"));
}

void TestHlvDomain::updateDevicesPairsByIdInOrder_data()
{
    QTest::addColumn<QList<int>>("held");
    QTest::addColumn<QList<int>>("fresh");
    QTest::addColumn<QList<int>>("merged");
    QTest::addColumn<QStringList>("origin");

    QTest::newRow("same order") << QList<int>{1, 2, 3} << QList<int>{1, 2, 3} << QList<int>{1, 2, 3}
                                << QStringList{u"h0=f0"_s, u"h1=f1"_s, u"h2=f2"_s};
    QTest::newRow("fresh reordered") << QList<int>{1, 2, 3} << QList<int>{3, 1, 2} << QList<int>{1, 2, 3}
                                     << QStringList{u"h0=f1"_s, u"h1=f2"_s, u"h2=f0"_s};
    QTest::newRow("dropped and added") << QList<int>{1, 2, 3} << QList<int>{3, 4} << QList<int>{3, 4}
                                       << QStringList{u"h2=f0"_s, u"f1"_s};
    QTest::newRow("fresh duplicate") << QList<int>{5} << QList<int>{5, 5} << QList<int>{5, 5}
                                     << QStringList{u"h0=f0"_s, u"f1"_s};
    QTest::newRow("held duplicate") << QList<int>{5, 5} << QList<int>{5} << QList<int>{5}
                                    << QStringList{u"h0=f0"_s};
    QTest::newRow("duplicates on both sides") << QList<int>{5, 6, 5} << QList<int>{5, 5, 5} << QList<int>{5, 5, 5}
                                              << QStringList{u"h0=f0"_s, u"h2=f1"_s, u"f2"_s};
    QTest::newRow("interleaved duplicates") << QList<int>{7, 5, 7} << QList<int>{5, 7, 9, 7}
                                            << QList<int>{7, 5, 7, 9}
                                            << QStringList{u"h0=f1"_s, u"h1=f0"_s, u"h2=f3"_s, u"f2"_s};
    QTest::newRow("nothing fresh") << QList<int>{1, 2} << QList<int>{} << QList<int>{} << QStringList{};
    QTest::newRow("nothing held") << QList<int>{} << QList<int>{4, 4, 2} << QList<int>{4, 4, 2}
                                  << QStringList{u"f0"_s, u"f1"_s, u"f2"_s};
}

void TestHlvDomain::updateDevicesPairsByIdInOrder()
{
    QFETCH(QList<int>, held);
    QFETCH(QList<int>, fresh);
    QFETCH(QList<int>, merged);
    QFETCH(QStringList, origin);

    DomainGuard guard;
    guard.domain = new HlvDomain();
    guard.domain->devices = makeDevices(held, QStringLiteral("held"));
    const QList<HlvDevice *> heldObjects = guard.domain->devices;
    QList<QPointer<HlvDevice>> heldGuards(heldObjects.cbegin(), heldObjects.cend());
    const QList<HlvDevice *> freshObjects = freshDevices(fresh);
    QList<QPointer<HlvDevice>> freshGuards(freshObjects.cbegin(), freshObjects.cend());

    guard.domain->updateDevices(freshObjects);

    QCOMPARE(ids(guard.domain->devices), merged);
    QCOMPARE(origins(guard.domain->devices, heldObjects, freshGuards), origin);
    // Whatever did not end up in the list is gone.
    qsizetype alive = 0;
    for (const QList<QPointer<HlvDevice>> *list : {&heldGuards, &freshGuards}) {
        for (const QPointer<HlvDevice> &device : *list)
            alive += device.isNull() ? 0 : 1;
    }
    QCOMPARE(alive, merged.size());
}

void TestHlvDomain::updateDevicesPairsAsASearchWould()
{
    // Lists from a hostile cloud, short ids so that duplicates abound, against the
    // search that pairs each held device with the first fresh one of its id.
    QRandomGenerator random(20240611);
    for (int round = 0; round < 400; ++round) {
        QList<int> held;
        QList<int> fresh;
        for (int i = random.bounded(8); i > 0; --i)
            held << random.bounded(5);
        for (int i = random.bounded(8); i > 0; --i)
            fresh << random.bounded(5);

        DomainGuard guard;
        guard.domain = new HlvDomain();
        guard.domain->devices = makeDevices(held, QStringLiteral("held"));
        const QList<HlvDevice *> heldObjects = guard.domain->devices;
        const QList<HlvDevice *> freshObjects = freshDevices(fresh);
        const QList<QPointer<HlvDevice>> freshGuards(freshObjects.cbegin(), freshObjects.cend());
        guard.domain->updateDevices(freshObjects);

        const QStringList got = origins(guard.domain->devices, heldObjects, freshGuards);
        const QStringList expected = searchedOrigins(held, fresh);
        if (got != expected)
            qWarning() << "held" << held << "fresh" << fresh;
        QCOMPARE(got, expected);
    }
}

void TestHlvDomain::updateDevicesReportsChanges_data()
{
    QTest::addColumn<QList<int>>("held");
    QTest::addColumn<QList<int>>("fresh");
    QTest::addColumn<bool>("freshValues");
    QTest::addColumn<bool>("values");
    QTest::addColumn<bool>("members");

    QTest::newRow("same") << QList<int>{1, 2} << QList<int>{1, 2} << false << false << false;
    QTest::newRow("fresh order only") << QList<int>{1, 2} << QList<int>{2, 1} << false << false << false;
    QTest::newRow("values") << QList<int>{1, 2} << QList<int>{1, 2} << true << true << false;
    QTest::newRow("added") << QList<int>{1} << QList<int>{1, 2} << false << false << true;
    QTest::newRow("dropped") << QList<int>{1, 2} << QList<int>{1} << false << false << true;
    QTest::newRow("one for another") << QList<int>{1} << QList<int>{2} << false << false << true;
    QTest::newRow("duplicate added") << QList<int>{1} << QList<int>{1, 1} << false << false << true;
    QTest::newRow("nothing at all") << QList<int>{} << QList<int>{} << false << false << false;
}

void TestHlvDomain::updateDevicesReportsChanges()
{
    QFETCH(QList<int>, held);
    QFETCH(QList<int>, fresh);
    QFETCH(bool, freshValues);
    QFETCH(bool, values);
    QFETCH(bool, members);

    DomainGuard guard;
    guard.domain = new HlvDomain();
    guard.domain->devices = makeDevices(held, QStringLiteral("d"));
    const HlvDomain::Changes changes =
        guard.domain->updateDevices(makeDevices(fresh, freshValues ? QStringLiteral("renamed") : QStringLiteral("d")));
    QCOMPARE(changes.values, values);
    QCOMPARE(changes.members, members);
    QCOMPARE(changes.any(), values || members);
}

void TestHlvDomain::destructorLeavesDevicesAlive()
{
    auto *domain = new HlvDomain();
    domain->devices = makeDevices({1, 2}, QStringLiteral("d"));
    const QList<HlvDevice *> devices = domain->devices;
    QPointer<HlvDevice> first = devices.at(0);
    delete domain;
    QVERIFY(first);
    qDeleteAll(devices);
}

void TestHlvDomain::deleteDevices()
{
    HlvDomain domain;
    domain.devices = makeDevices({1, 2, 3}, QStringLiteral("d"));
    QList<QPointer<HlvDevice>> guards;
    for (HlvDevice *device : domain.devices)
        guards << device;
    domain.deleteDevices();
    QVERIFY(domain.devices.isEmpty());
    for (const QPointer<HlvDevice> &guard : guards)
        QVERIFY(!guard);
}

QTEST_GUILESS_MAIN(TestHlvDomain)
#include "tst_hlvdomain.moc"
