#include <QtTest>

#include <QDataStream>
#include <QFile>
#include <QPoint>
#include <QSize>

#include <sys/stat.h>

#include "model/blowfish.h"
#include "model/hlvsettings.h"
#include "testhome.h"

class TestHlvSettings : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void defaultsWithoutFile();
    void valuesSurviveANewObject();
    void fileLayout();
    void fileIsPrivateToItsOwner();
    void unreadableFileReadsAsDefaults_data();
    void unreadableFileReadsAsDefaults();
    void keysAreCaseSensitive();
    void clearOperations();

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

QTEST_GUILESS_MAIN(TestHlvSettings)
#include "tst_hlvsettings.moc"
