#include <QtTest>

#include <QTemporaryDir>

#include "cloud/cloudconfig.h"
#include "corrivoconfig.h"

class TestCloudConfig : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void baseUrl_data();
    void baseUrl();
    void extraCaCertificates();
    void unreadableCaFileAddsNothing();
    void extraCasAddToTheSystems();
};

void TestCloudConfig::init()
{
    qunsetenv("CORRIVO_CLOUD_URL");
    qunsetenv("CORRIVO_CA_FILE");
}

void TestCloudConfig::baseUrl_data()
{
    QTest::addColumn<QByteArray>("environment");
    QTest::addColumn<QString>("expected");
    QTest::newRow("compiled default") << QByteArray() << QStringLiteral(CORRIVO_CLOUD_URL);
    QTest::newRow("override") << QByteArray("https://127.0.0.1:4443") << "https://127.0.0.1:4443";
    QTest::newRow("override with trailing slash") << QByteArray("https://sim.local:8443/") << "https://sim.local:8443";
}

void TestCloudConfig::baseUrl()
{
    QFETCH(QByteArray, environment);
    QFETCH(QString, expected);
    if (!environment.isEmpty())
        qputenv("CORRIVO_CLOUD_URL", environment);
    QCOMPARE(CloudConfig::baseUrl(), expected);
    QVERIFY(CloudConfig::baseUrl().startsWith(QLatin1String("https://")));
    QVERIFY(!CloudConfig::baseUrl().endsWith(QLatin1Char('/')));
}

void TestCloudConfig::extraCaCertificates()
{
    QVERIFY(CloudConfig::extraCaCertificates().isEmpty());

    // Any PEM certificate will do; the system's bundle has plenty.
    const QList<QSslCertificate> system = QSslConfiguration::systemCaCertificates();
    QVERIFY(system.size() >= 2);
    QTemporaryDir directory;
    QVERIFY(directory.isValid());
    const QString path = directory.filePath(QStringLiteral("extra.pem"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(system.at(0).toPem() + system.at(1).toPem());
    file.close();

    qputenv("CORRIVO_CA_FILE", QFile::encodeName(path));
    const QList<QSslCertificate> extra = CloudConfig::extraCaCertificates();
    QCOMPARE(extra.size(), 2);
    QCOMPARE(extra.at(1), system.at(1));
}

void TestCloudConfig::unreadableCaFileAddsNothing()
{
    qputenv("CORRIVO_CA_FILE", "/nonexistent/ca.pem");
    QVERIFY(CloudConfig::extraCaCertificates().isEmpty());
}

void TestCloudConfig::extraCasAddToTheSystems()
{
    const QList<QSslCertificate> system = QSslConfiguration::systemCaCertificates();
    QVERIFY(!system.isEmpty());
    const QSslConfiguration base = QSslConfiguration::defaultConfiguration();

    // Without an extra file the configuration is left alone.
    QCOMPARE(CloudConfig::withExtraCaCertificates(base), base);

    QTemporaryDir directory;
    const QString path = directory.filePath(QStringLiteral("one.pem"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(system.last().toPem());
    file.close();
    qputenv("CORRIVO_CA_FILE", QFile::encodeName(path));

    const QSslConfiguration widened = CloudConfig::withExtraCaCertificates(base);
    QCOMPARE(widened.peerVerifyMode(), base.peerVerifyMode());
    const QList<QSslCertificate> trusted = widened.caCertificates();
    for (const QSslCertificate &certificate : system)
        QVERIFY(trusted.contains(certificate));
    QCOMPARE(trusted.count(system.last()), 1);
}

QTEST_GUILESS_MAIN(TestCloudConfig)
#include "tst_cloudconfig.moc"
