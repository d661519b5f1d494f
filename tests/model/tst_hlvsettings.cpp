#include <QtTest>
#include <functional>
#include <QRect>
#include <QBuffer>

#include <QDataStream>
#include <QFile>
#include <QPoint>
#include <QSize>
#include <QTemporaryDir>

#include <sys/stat.h>

#include "model/blowfish.h"
#include "model/hlvdevice.h"
#include "model/hlvdomain.h"
#include "model/hlvsettings.h"
#include "testhome.h"

class TestHlvSettings : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void readsOnlyStoredTypes_data();
    void readsOnlyStoredTypes();
    void defaultsWithoutFile();
    void valuesSurviveANewObject();
    void fileLayout();
    void fileIsPrivateToItsOwner();
    void plantedLinkIsNotWrittenThrough_data();
    void plantedLinkIsNotWrittenThrough();
    void unreadableFileReadsAsDefaults_data();
    void unreadableFileReadsAsDefaults();
    void keysAreCaseSensitive();
    void typedAccessorsUseTheStoredKeys_data();
    void typedAccessorsUseTheStoredKeys();
    void clearOperations();
    void favouriteAndRecentDevices_data();
    void favouriteAndRecentDevices();
    void noStoredDomains();
    void storedDomainsRoundTrip();
    void storedNonObjectReadsAsFallback();

private:
    void writeRawFile(const QByteArray &bytes);
};

void TestHlvSettings::initTestCase()
{
    TestHome::setUpIdentity();
}

void TestHlvSettings::init()
{
    TestHome::wipe();
}

void TestHlvSettings::writeRawFile(const QByteArray &bytes)
{
    const QString path = TestHome::settingsFilePath();
    QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(bytes), bytes.size());
}

void TestHlvSettings::defaultsWithoutFile()
{
    HlvSettings settings;
    QVERIFY(!QFile::exists(settings.fileName()));
    QVERIFY(settings.fileName().endsWith(QLatin1String("/Halvane/Corrivo 2.hlv")));
    QVERIFY(settings.value(QStringLiteral("domains")).toList().isEmpty());
    QVERIFY(settings.value(QStringLiteral("virtual_serial_ports")).toList().isEmpty());
    QCOMPARE(settings.getLastDomainIdOpened(), -1);
    QCOMPARE(settings.value(QStringLiteral("auth/username"), QString()).toString(), QString());
    QCOMPARE(settings.value(QStringLiteral("hlv/tour1"), true).toBool(), true);
}

void TestHlvSettings::valuesSurviveANewObject()
{
    {
        HlvSettings settings;
        settings.setLastDomainIdOpened(12);
        settings.beginGroup(QStringLiteral("window"));
        settings.setValue(QStringLiteral("size"), QSize(1024, 768));
        settings.setValue(QStringLiteral("pos"), QPoint(-5, 40));
        settings.endGroup();
        settings.setValue(QStringLiteral("auth/password"), QStringLiteral("p\u00e4ss \"w\""));
    }
    HlvSettings settings;
    QCOMPARE(settings.status(), QSettings::NoError);
    QCOMPARE(settings.getLastDomainIdOpened(), 12);
    QCOMPARE(settings.value(QStringLiteral("window/size")).toSize(), QSize(1024, 768));
    QCOMPARE(settings.value(QStringLiteral("window/pos")).toPoint(), QPoint(-5, 40));
    QCOMPARE(settings.value(QStringLiteral("auth/password")).toString(), QStringLiteral("p\u00e4ss \"w\""));
}

void TestHlvSettings::fileLayout()
{
    {
        HlvSettings settings;
        settings.setValue(QStringLiteral("auth/username"), QStringLiteral("mario"));
        settings.setLastDomainIdOpened(3);
    }
    QFile file(TestHome::settingsFilePath());
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray bytes = file.readAll();
    QVERIFY(bytes.size() > 4);

    const quint32 length = qFromBigEndian<quint32>(bytes.constData());
    QCOMPARE(qsizetype(length), bytes.size() - 4);
    QVERIFY(length >= 8);
    QCOMPARE(length % 8, 0u);
    QVERIFY(!bytes.contains("mario"));

    Blowfish cipher(HlvSettingsFormat::key());
    cipher.setPaddingEnabled(true);
    const QByteArray clear = cipher.decrypted(bytes.mid(4));
    QSettings::SettingsMap map;
    QDataStream in(clear);
    in >> map;
    QCOMPARE(in.status(), QDataStream::Ok);
    QVERIFY(in.atEnd());
    QCOMPARE(map.value(QStringLiteral("auth/username")).toString(), QStringLiteral("mario"));
    QCOMPARE(map.value(QStringLiteral("last_domain_id_opened")).toInt(), 3);
}

void TestHlvSettings::fileIsPrivateToItsOwner()
{
    const mode_t previous = umask(0022);
    {
        HlvSettings settings;
        settings.setValue(QStringLiteral("auth/password"), QStringLiteral("secret"));
    }
    umask(previous);
    struct stat info {};
    QCOMPARE(stat(QFile::encodeName(TestHome::settingsFilePath()).constData(), &info), 0);
    QCOMPARE(info.st_mode & 0777, mode_t(0600));
}

void TestHlvSettings::plantedLinkIsNotWrittenThrough_data()
{
    QTest::addColumn<QString>("target");
    QTest::newRow("file elsewhere") << "elsewhere";
    QTest::newRow("sibling file") << "sibling";
    QTest::newRow("missing file elsewhere") << "missing";
}

void TestHlvSettings::plantedLinkIsNotWrittenThrough()
{
    // Someone who can write the settings directory (a home shared with a root run)
    // points the settings path at a file of their choosing.
    QFETCH(QString, target);
    QTemporaryDir elsewhere;
    QVERIFY(elsewhere.isValid());
    const QString path = TestHome::settingsFilePath();
    QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()));
    const QString victim = target == QLatin1String("sibling") ? QFileInfo(path).absolutePath() + QStringLiteral("/victim")
                                                              : elsewhere.filePath(QStringLiteral("victim"));
    const QByteArray content = "root:x:0:0:root:/root:/bin/bash\n";
    if (target != QLatin1String("missing")) {
        QFile file(victim);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QCOMPARE(file.write(content), content.size());
        file.close();
        QCOMPARE(::chmod(QFile::encodeName(victim).constData(), 0644), 0);
    }
    QVERIFY(QFile::link(victim, path));
    const auto removeLink = qScopeGuard([&] {
        QFile::remove(path);
        QFile::remove(victim);
    });

    {
        HlvSettings settings;
        settings.setValue(QStringLiteral("auth/password"), QStringLiteral("secret"));
        settings.sync();
        // An access error, or the format error of reading the victim first.
        QVERIFY(settings.status() != QSettings::NoError);
    }

    QVERIFY(QFileInfo(path).isSymLink());
    if (target == QLatin1String("missing")) {
        QVERIFY(!QFileInfo::exists(victim));
    } else {
        QFile file(victim);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), content);
        struct stat info {};
        QCOMPARE(lstat(QFile::encodeName(victim).constData(), &info), 0);
        QCOMPARE(info.st_mode & 07777, mode_t(0644));
    }
    // Nothing else appeared beside the victim either.
    QCOMPARE(QDir(elsewhere.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             target == QLatin1String("elsewhere") ? QStringList{QStringLiteral("victim")} : QStringList());
}

void TestHlvSettings::unreadableFileReadsAsDefaults_data()
{
    QTest::addColumn<QByteArray>("bytes");

    QSettings::SettingsMap map;
    map.insert(QStringLiteral("last_domain_id_opened"), 44);
    QByteArray clear;
    {
        QDataStream out(&clear, QIODevice::WriteOnly);
        out << map;
    }
    auto fileWithKey = [&clear](const QByteArray &key) {
        Blowfish cipher(key);
        cipher.setPaddingEnabled(true);
        QByteArray file;
        QDataStream out(&file, QIODevice::WriteOnly);
        out << cipher.encrypted(clear);
        return file;
    };
    const QByteArray good = fileWithKey(HlvSettingsFormat::key());

    QTest::newRow("another key") << fileWithKey(QByteArrayLiteral("not the application's key"));
    QTest::newRow("truncated") << good.left(good.size() - 8);
    QTest::newRow("length too large") << QByteArray::fromHex("7fffffff") + good.mid(4);
    QTest::newRow("garbage") << QByteArray("this is not a settings file at all");
    QTest::newRow("plain map") << clear;
}

void TestHlvSettings::unreadableFileReadsAsDefaults()
{
    QFETCH(QByteArray, bytes);
    writeRawFile(bytes);

    HlvSettings settings;
    QCOMPARE(settings.status(), QSettings::FormatError);
    QCOMPARE(settings.getLastDomainIdOpened(), -1);
}

void TestHlvSettings::keysAreCaseSensitive()
{
    {
        HlvSettings settings;
        settings.setValue(QStringLiteral("Domains"), QStringLiteral("upper"));
    }
    HlvSettings settings;
    QCOMPARE(settings.value(QStringLiteral("Domains")).toString(), QStringLiteral("upper"));
    QVERIFY(!settings.contains(QStringLiteral("domains")));
}

// Files written by earlier versions hold these keys: each typed accessor writes and
// reads exactly them.
void TestHlvSettings::typedAccessorsUseTheStoredKeys_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QVariant>("stored");
    QTest::addColumn<QVariant>("fallback");

    QTest::newRow("auth/username") << QStringLiteral("auth/username") << QVariant(QStringLiteral("alice")) << QVariant(QString());
    QTest::newRow("auth/password") << QStringLiteral("auth/password") << QVariant(QStringLiteral("s3cret")) << QVariant(QString());
    QTest::newRow("auth/last_username") << QStringLiteral("auth/last_username") << QVariant(QStringLiteral("bob")) << QVariant(QString());
    QTest::newRow("hlv/language") << QStringLiteral("hlv/language") << QVariant(QStringLiteral("it")) << QVariant(QStringLiteral("en"));
    QTest::newRow("hlv/tour3") << QStringLiteral("hlv/tour3") << QVariant(false) << QVariant(true);
    QTest::newRow("vpn/last_device_id") << QStringLiteral("vpn/last_device_id") << QVariant(42) << QVariant(-1);
    QTest::newRow("window/size") << QStringLiteral("window/size") << QVariant(QSize(900, 700)) << QVariant(QSize(1, 2));
    QTest::newRow("window/pos") << QStringLiteral("window/pos") << QVariant(QPoint(30, 40)) << QVariant(QPoint(5, 6));
}

void TestHlvSettings::typedAccessorsUseTheStoredKeys()
{
    QFETCH(QString, key);
    QFETCH(QVariant, stored);
    QFETCH(QVariant, fallback);

    const auto read = [&key, &fallback](HlvSettings &settings) -> QVariant {
        if (key == QLatin1String("auth/username"))
            return settings.username();
        if (key == QLatin1String("auth/password"))
            return settings.password();
        if (key == QLatin1String("auth/last_username"))
            return settings.lastUsername();
        if (key == QLatin1String("hlv/language"))
            return settings.language(fallback.toString());
        if (key == QLatin1String("hlv/tour3"))
            return settings.tourIsNeeded(3);
        if (key == QLatin1String("vpn/last_device_id"))
            return settings.lastDeviceId();
        if (key == QLatin1String("window/size"))
            return settings.windowSize(fallback.toSize());
        return settings.windowPosition(fallback.toPoint());
    };

    // Nothing stored: the fallback.
    {
        HlvSettings settings;
        QCOMPARE(read(settings), fallback);
    }
    // Stored under the key by hand: the accessor reads it.
    {
        HlvSettings settings;
        settings.setValue(key, stored);
    }
    {
        HlvSettings settings;
        QCOMPARE(read(settings), stored);
        settings.remove(key);
    }
    // Written by the accessor: found under the key.
    {
        HlvSettings settings;
        if (key == QLatin1String("auth/username"))
            settings.setCredentials(stored.toString(), QString());
        else if (key == QLatin1String("auth/password"))
            settings.setCredentials(QString(), stored.toString());
        else if (key == QLatin1String("auth/last_username"))
            settings.setLastUsername(stored.toString());
        else if (key == QLatin1String("hlv/language"))
            settings.setLanguage(stored.toString());
        else if (key == QLatin1String("hlv/tour3"))
            settings.setTourNotNeeded(3);
        else if (key == QLatin1String("vpn/last_device_id"))
            settings.setLastDeviceId(stored.toInt());
        else if (key == QLatin1String("window/size"))
            settings.setWindowGeometry(stored.toSize(), QPoint());
        else
            settings.setWindowGeometry(QSize(), stored.toPoint());
    }
    HlvSettings settings;
    QCOMPARE(settings.value(key), stored);
}

void TestHlvSettings::clearOperations()
{
    {
        HlvSettings settings;
        settings.setValue(QStringLiteral("domains"), QVariantList{1, 2});
        settings.setValue(QStringLiteral("virtual_serial_ports"), QVariantList{3});
        settings.setLastDomainIdOpened(9);
    }
    {
        HlvSettings settings;
        settings.clearDomains();
        settings.clearVirtualSerialPorts();
        settings.clearLastDomainIdOpened();
    }
    HlvSettings settings;
    QVERIFY(settings.contains(QStringLiteral("domains")));
    QVERIFY(settings.value(QStringLiteral("domains")).toList().isEmpty());
    QVERIFY(settings.value(QStringLiteral("virtual_serial_ports")).toList().isEmpty());
    QCOMPARE(settings.getLastDomainIdOpened(), -1);
}

// Each step runs on a settings object of its own, so every list is read back from the
// file: "+5" stars device 5, "-5" takes the star away, "r5" notes device 5 as recent,
// "clear" is the sign-in of another user.
void TestHlvSettings::favouriteAndRecentDevices_data()
{
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QList<int>>("favourites");
    QTest::addColumn<QList<int>>("recents");

    QTest::newRow("nothing stored") << QStringList() << QList<int>() << QList<int>();
    QTest::newRow("starred in order, twice is once")
        << QStringList{QStringLiteral("+7"), QStringLiteral("+3"), QStringLiteral("+7")} << QList<int>{7, 3} << QList<int>();
    QTest::newRow("a star taken away")
        << QStringList{QStringLiteral("+7"), QStringLiteral("+3"), QStringLiteral("-7"), QStringLiteral("-9")}
        << QList<int>{3} << QList<int>();
    QTest::newRow("recent: newest first, again moves to the front")
        << QStringList{QStringLiteral("r1"), QStringLiteral("r2"), QStringLiteral("r1")} << QList<int>() << QList<int>{1, 2};
    QTest::newRow("recent: only the last five")
        << QStringList{QStringLiteral("r1"), QStringLiteral("r2"), QStringLiteral("r3"), QStringLiteral("r4"),
                       QStringLiteral("r5"), QStringLiteral("r6")}
        << QList<int>() << QList<int>{6, 5, 4, 3, 2};
    QTest::newRow("another user signs in")
        << QStringList{QStringLiteral("+4"), QStringLiteral("r4"), QStringLiteral("clear"), QStringLiteral("r8")}
        << QList<int>() << QList<int>{8};
}

void TestHlvSettings::favouriteAndRecentDevices()
{
    QFETCH(QStringList, steps);
    QFETCH(QList<int>, favourites);
    QFETCH(QList<int>, recents);

    for (const QString &step : steps) {
        HlvSettings settings;
        const int id = step.mid(1).toInt();
        if (step == QLatin1String("clear"))
            settings.clearFavouriteAndRecentDevices();
        else if (step.startsWith(QLatin1Char('+')))
            settings.setFavouriteDevice(id, true);
        else if (step.startsWith(QLatin1Char('-')))
            settings.setFavouriteDevice(id, false);
        else
            settings.addRecentDevice(id);
    }
    HlvSettings settings;
    QCOMPARE(settings.favouriteDeviceIds(), favourites);
    QCOMPARE(settings.recentDeviceIds(), recents);
    // A list holding something else than ids reads as the ids in it.
    settings.setValue(QStringLiteral("favourite_devices"), QVariantList{QStringLiteral("x"), 12, QVariantMap()});
    QCOMPARE(settings.favouriteDeviceIds(), QList<int>{12});
}

namespace {

// Owns domains and their devices for the length of a test.
struct Domains
{
    ~Domains()
    {
        for (HlvDomain *domain : list)
            domain->deleteDevices();
        qDeleteAll(list);
    }
    QList<HlvDomain *> list;
};

HlvDevice *makeDevice(int id, int type, const QString &name)
{
    auto *device = new HlvDevice();
    device->id = id;
    device->type = type;
    device->name = name;
    device->domainId = 42;
    device->dataDeliveryEnable = true;
    device->remoteAccessEnable = id % 2 == 1;
    device->vpnStatus = id % 2;
    device->vpnIp = QStringLiteral("10.8.0.%1").arg(id);
    device->apiKey = QStringLiteral("key-%1").arg(id);
    return device;
}

} // namespace

void TestHlvSettings::noStoredDomains()
{
    Domains read;
    HlvSettings settings;
    read.list = settings.getDomains();
    QVERIFY(read.list.isEmpty());
}

void TestHlvSettings::storedDomainsRoundTrip()
{
    Domains written;
    auto *usine = new HlvDomain();
    usine->id = 42;
    usine->name = QStringLiteral("Usine \u00c6r\u00f8 \u2013 Gr\u00fcnwald");
    usine->vpnEnable = true;
    usine->devices << makeDevice(7, 1, QStringLiteral("Pompe n\u00b0 1")) << makeDevice(9, 2, QStringLiteral("Passerelle"))
                   << makeDevice(8, 5, QStringLiteral("\u5de5\u5834"));
    auto *archive = new HlvDomain();
    archive->id = 43;
    archive->name = QStringLiteral("Archive");
    written.list << usine << archive;
    {
        HlvSettings settings;
        settings.setDomains(written.list);
    }
    // The objects stay with the caller.
    QCOMPARE(usine->devices.size(), 3);

    Domains read;
    {
        HlvSettings settings;
        QCOMPARE(settings.status(), QSettings::NoError);
        read.list = settings.getDomains();
    }
    QCOMPARE(read.list.size(), 2);
    QCOMPARE(read.list.at(0)->id, 42);
    QCOMPARE(read.list.at(0)->name, usine->name);
    QCOMPARE(read.list.at(0)->vpnEnable, true);
    QCOMPARE(read.list.at(1)->id, 43);
    QCOMPARE(read.list.at(1)->vpnEnable, false);
    QVERIFY(read.list.at(1)->devices.isEmpty());

    // The device of type 2 never comes back.
    const QList<HlvDevice *> &devices = read.list.at(0)->devices;
    QCOMPARE(devices.size(), 2);
    QCOMPARE(devices.at(0)->toJson(), usine->devices.at(0)->toJson());
    QCOMPARE(devices.at(1)->toJson(), usine->devices.at(2)->toJson());
    QCOMPARE(devices.at(1)->name, QStringLiteral("\u5de5\u5834"));
}

void TestHlvSettings::storedNonObjectReadsAsFallback()
{
    {
        HlvSettings settings;
        settings.setValue(QStringLiteral("domains"), QVariantList{QStringLiteral("not an object"), 5});
    }
    Domains read;
    HlvSettings settings;
    read.list = settings.getDomains();
    QCOMPARE(read.list.size(), 2);
    for (const HlvDomain *domain : read.list) {
        QCOMPARE(domain->id, 0);
        QCOMPARE(domain->name, QString());
        QCOMPARE(domain->vpnEnable, false);
        QVERIFY(domain->devices.isEmpty());
    }
}

void TestHlvSettings::readsOnlyStoredTypes_data()
{
    QTest::addColumn<QByteArray>("clearText");
    QTest::addColumn<bool>("readable");
    const auto oneEntry = [](quint32 type, const std::function<void(QDataStream &)> &value) {
        QByteArray bytes;
        QDataStream out(&bytes, QIODevice::WriteOnly);
        out << quint32(1) << QStringLiteral("vpn/key") << type << qint8(0);
        value(out);
        return bytes;
    };
    QVariantMap stored;
    stored.insert(QStringLiteral("vpn/last_device_id"), 7);
    stored.insert(QStringLiteral("auth/username"), QStringLiteral("alice"));
    stored.insert(QStringLiteral("window/size"), QSize(800, 600));
    stored.insert(QStringLiteral("domains"),
                  QJsonArray{QJsonObject{{QStringLiteral("id"), 1}, {QStringLiteral("name"), QJsonValue::Null},
                                         {QStringLiteral("ip"), 1.5}},
                             true}
                      .toVariantList());
    QByteArray written;
    QDataStream out(&written, QIODevice::WriteOnly);
    out << stored;
    QTest::newRow("what the writer stores") << written << true;
    // Qt's reader of a bit array trusts the length and writes past its buffer.
    QTest::newRow("bit array with a forged length") << oneEntry(QMetaType::QBitArray, [](QDataStream &stream) {
        stream << quint32(0xfffffff0) << quint8(0xff);
    }) << false;
    QTest::newRow("a type never stored") << oneEntry(QMetaType::QRect, [](QDataStream &stream) {
        stream << QRect(1, 2, 3, 4);
    }) << false;
    QTest::newRow("list announcing more than it holds") << oneEntry(QMetaType::QVariantList, [](QDataStream &stream) {
        stream << quint32(0xfffffffe) << qint64(1) << 5;
    }) << false;
    QByteArray deep;
    {
        QDataStream nested(&deep, QIODevice::WriteOnly);
        nested << quint32(1) << QStringLiteral("k");
        for (int i = 0; i < 100; ++i)
            nested << quint32(QMetaType::QVariantList) << qint8(0) << quint32(1);
        nested << quint32(QMetaType::Int) << qint8(0) << 1;
    }
    QTest::newRow("lists nested past any stored depth") << deep << false;
}

void TestHlvSettings::readsOnlyStoredTypes()
{
    QFETCH(QByteArray, clearText);
    QFETCH(bool, readable);
    QBuffer buffer;
    buffer.setData(HlvSettingsFormat::fileFor(clearText));
    QVERIFY(buffer.open(QIODevice::ReadOnly));
    QSettings::SettingsMap map;
    QCOMPARE(HlvSettingsFormat::read(buffer, map), readable);
    if (readable) {
        QCOMPARE(map.value(QStringLiteral("vpn/last_device_id")).toInt(), 7);
        QCOMPARE(map.value(QStringLiteral("window/size")).toSize(), QSize(800, 600));
        QCOMPARE(map.value(QStringLiteral("domains")).toList().size(), 2);
    }
}

QTEST_GUILESS_MAIN(TestHlvSettings)
#include "tst_hlvsettings.moc"
