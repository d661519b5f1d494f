#include <QtTest>

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QTemporaryDir>

#include <sys/stat.h>

#include "base/loggingcontrol.h"
#include "bridge/profilefiles.h"

namespace {

const char LogFunction[] = "Test::reply";

QStringList g_log;

void captureLog(QtMsgType type, const QMessageLogContext &, const QString &text)
{
    if (type == QtInfoMsg)
        g_log.append(text);
}

QString md5Of(const QByteArray &content)
{
    return QString::fromLatin1(QCryptographicHash::hash(content, QCryptographicHash::Md5).toHex());
}

QJsonObject file(const QString &name, const QByteArray &content)
{
    return {{QStringLiteral("name"), name},
            {QStringLiteral("file"), QString::fromLatin1(content.toBase64())},
            {QStringLiteral("md5"), md5Of(content)}};
}

QJsonObject withValue(QJsonObject element, const QString &key, const QJsonValue &value)
{
    element.insert(key, value);
    return element;
}

QString body(const QJsonValue &files)
{
    return QString::fromUtf8(QJsonDocument(QJsonObject{{QStringLiteral("files"), files}}).toJson());
}

mode_t modeOf(const QString &path)
{
    struct stat info {};
    if (::lstat(QFile::encodeName(path).constData(), &info) != 0)
        return 0;
    return info.st_mode & 07777;
}

QStringList entriesOf(const QString &directory)
{
    return QDir(directory).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

const QByteArray Profile = "client\ndev tun\nremote 127.0.0.1 9\nca ca.crt\nauth-user-pass";
const QByteArray Credentials = "vpnuser\nvpnpass";
const QByteArray Ca = "-----BEGIN CERTIFICATE-----\nnot really\n-----END CERTIFICATE-----\n";

} // namespace

// The reply handling on its own: no bridge, no cloud, a directory of the test's own.
class TestProfileFiles : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void replies_data();
    void replies();
    void writesOwnerOnlyCleanedFiles();

private:
    QtMessageHandler m_previous = nullptr;
};

void TestProfileFiles::init()
{
    g_log.clear();
    LoggingControl::set(4, QStringLiteral("hlv_vpn"));
    m_previous = qInstallMessageHandler(captureLog);
}

void TestProfileFiles::cleanup()
{
    qInstallMessageHandler(m_previous);
    LoggingControl::set(0, QStringLiteral("None"));
}

void TestProfileFiles::replies_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("body");
    // "%dir" stands for the profile directory.
    QTest::addColumn<QString>("error");
    QTest::addColumn<QStringList>("written");
    QTest::addColumn<QString>("username");
    QTest::addColumn<QString>("password");

    const QJsonObject profile = file(QStringLiteral("client.ovpn"), Profile);
    const QJsonObject credentials = file(QStringLiteral("credentials.txt"), Credentials);
    const QJsonObject ca = file(QStringLiteral("ca.crt"), Ca);
    const QString caDigest = md5Of(Ca);
    const QString emptyDigest = md5Of(QByteArray());
    const QStringList none;
    const QString longName = QString(300, QLatin1Char('n'));
    const QString hugeMd5 = QString(100000, QLatin1Char('0'));
    const QByteArray hugeProfile = Profile + '\n' + QByteArray(4 * 1024 * 1024, '#');

    // Hostile or odd answers: each ends in its fault, nothing beyond the directory.
    QTest::newRow("status 201") << 201 << body(QJsonArray{profile, credentials}) << "Status not 200 (201)" << none
                                << "" << "";
    QTest::newRow("no answer") << -1 << "" << "Status not 200 (-1)" << none << "" << "";
    QTest::newRow("not JSON") << 200 << "{\"files\": [" << "Doc is not object" << none << "" << "";
    QTest::newRow("array") << 200 << "[]" << "Doc is not object" << none << "" << "";
    QTest::newRow("no files") << 200 << "{\"file\": []}" << "Doc not contains files" << none << "" << "";
    QTest::newRow("files an object") << 200 << body(profile) << "Config file path empty: " << none << "" << "";
    QTest::newRow("files a string") << 200 << body(QStringLiteral("client.ovpn")) << "Config file path empty: " << none
                                    << "" << "";
    QTest::newRow("elements not objects")
        << 200 << body(QJsonArray{1, QStringLiteral("x"), QJsonValue()})
        << QStringLiteral("Wrong md5 for  ") + emptyDigest + QStringLiteral(" != ") << none << "" << "";
    QTest::newRow("md5 a number") << 200 << body(QJsonArray{withValue(ca, QStringLiteral("md5"), 5)})
                                  << QStringLiteral("Wrong md5 for ca.crt ") + caDigest + QStringLiteral(" != ") << none
                                  << "" << "";
    QTest::newRow("huge md5") << 200 << body(QJsonArray{withValue(ca, QStringLiteral("md5"), hugeMd5)})
                              << QStringLiteral("Wrong md5 for ca.crt ") + caDigest + QStringLiteral(" != ") + hugeMd5
                              << none << "" << "";
    QTest::newRow("name a number") << 200 << body(QJsonArray{withValue(profile, QStringLiteral("name"), 7), credentials})
                                   << "Refused file name " << none << "" << "";
    QTest::newRow("parent directory") << 200 << body(QJsonArray{file(QStringLiteral("../client.ovpn"), Profile), credentials})
                                      << "Refused file name ../client.ovpn" << none << "" << "";
    QTest::newRow("absolute path") << 200 << body(QJsonArray{file(QStringLiteral("/tmp/client.ovpn"), Profile)})
                                   << "Refused file name /tmp/client.ovpn" << none << "" << "";
    QTest::newRow("back slash") << 200 << body(QJsonArray{file(QStringLiteral("..\\client.ovpn"), Profile)})
                                << "Refused file name ..\\client.ovpn" << none << "" << "";
    QTest::newRow("nul in name")
        << 200 << body(QJsonArray{file(QStringLiteral("client.ovpn") + QChar(0) + QStringLiteral("x"), Profile)})
        << QStringLiteral("Refused file name client.ovpn") + QChar(0) + QStringLiteral("x") << none << "" << "";
    QTest::newRow("dot dot") << 200 << body(QJsonArray{file(QStringLiteral(".."), Profile)}) << "Refused file name .."
                             << none << "" << "";
    QTest::newRow("credentials in a sub directory")
        << 200 << body(QJsonArray{profile, file(QStringLiteral("./credentials.txt"), Credentials)})
        << "Refused file name ./credentials.txt" << QStringList{QStringLiteral("client.ovpn")} << "" << "";
    QTest::newRow("name too long for the file system")
        << 200 << body(QJsonArray{file(longName, Ca), profile, credentials})
        << QStringLiteral("File open error (%dir/") + longName + QLatin1Char(')') << none << "" << "";
    QTest::newRow("credentials of three lines")
        << 200 << body(QJsonArray{profile, file(QStringLiteral("credentials.txt"), "a\nb\nc")})
        << "Credentials are not 2: 3" << QStringList{QStringLiteral("client.ovpn")} << "" << "";
    QTest::newRow("empty user name")
        << 200 << body(QJsonArray{profile, file(QStringLiteral("credentials.txt"), " \r\nvpnpass")})
        << "Username or password is empty" << QStringList{QStringLiteral("client.ovpn")} << "" << "";
    QTest::newRow("no profile") << 200 << body(QJsonArray{ca, credentials}) << "Config file path empty: "
                                << QStringList{QStringLiteral("ca.crt")} << "" << "";
    QTest::newRow("fault after a file keeps it")
        << 200 << body(QJsonArray{ca, withValue(profile, QStringLiteral("md5"), QStringLiteral("0123")), credentials})
        << QStringLiteral("Wrong md5 for client.ovpn ") + md5Of(Profile) + QStringLiteral(" != 0123")
        << QStringList{QStringLiteral("ca.crt")} << "" << "";

    // Complete answers.
    QTest::newRow("profile, certificate, credentials")
        << 200 << body(QJsonArray{ca, profile, credentials}) << ""
        << QStringList{QStringLiteral("ca.crt"), QStringLiteral("client.ovpn")} << "vpnuser" << "vpnpass";
    QTest::newRow("credentials first") << 200 << body(QJsonArray{credentials, profile}) << ""
                                       << QStringList{QStringLiteral("client.ovpn")} << "vpnuser" << "vpnpass";
    QTest::newRow("odd plain names kept as they are")
        << 200
        << body(QJsonArray{file(QStringLiteral(" spaced name.crt"), Ca), file(QStringLiteral("ünïcödé.key"), Ca),
                           file(QStringLiteral("..hidden"), Ca), profile, credentials})
        << ""
        << QStringList{QStringLiteral(" spaced name.crt"), QStringLiteral("..hidden"), QStringLiteral("client.ovpn"),
                       QStringLiteral("ünïcödé.key")}
        << "vpnuser" << "vpnpass";
    QTest::newRow("huge profile") << 200
                                  << body(QJsonArray{file(QStringLiteral("client.ovpn"), hugeProfile), credentials})
                                  << "" << QStringList{QStringLiteral("client.ovpn")} << "vpnuser" << "vpnpass";
}

void TestProfileFiles::replies()
{
    QFETCH(int, status);
    QFETCH(QString, body);
    QFETCH(QString, error);
    QFETCH(QStringList, written);
    QFETCH(QString, username);
    QFETCH(QString, password);

    QTemporaryDir base;
    QVERIFY(base.isValid());
    const QString directory = base.filePath(QStringLiteral("profiles"));
    error.replace(QLatin1String("%dir"), directory);

    const ProfileFiles::Result result = ProfileFiles(directory, LogFunction).write(status, body);

    QCOMPARE(result.error, error);
    QCOMPARE(result.ok(), error.isEmpty());
    QCOMPARE(result.username, username);
    QCOMPARE(result.password, password);
    if (result.ok())
        QCOMPARE(result.profilePath, directory + QStringLiteral("/client.ovpn"));

    // Only the files of the answer, in the directory, each the owner's alone; no
    // half-written file left behind.
    QCOMPARE(entriesOf(directory), written);
    for (const QString &name : std::as_const(written))
        QCOMPARE(modeOf(directory + QLatin1Char('/') + name), mode_t(0600));
    const QStringList around = entriesOf(base.path());
    QVERIFY2(around.isEmpty() || around == QStringList{QStringLiteral("profiles")}, qPrintable(around.join(u' ')));

    for (const QString &logged : std::as_const(g_log))
        QVERIFY2(!logged.contains(QLatin1String("vpnpass")), qPrintable(logged));
}

void TestProfileFiles::writesOwnerOnlyCleanedFiles()
{
    QTemporaryDir base;
    QVERIFY(base.isValid());
    const QString directory = base.filePath(QStringLiteral("profiles"));
    QVERIFY(QDir().mkpath(directory));
    QCOMPARE(::chmod(QFile::encodeName(directory).constData(), 0755), 0);
    // An earlier profile is replaced, mode and all.
    {
        QFile old(directory + QStringLiteral("/client.ovpn"));
        QVERIFY(old.open(QIODevice::WriteOnly));
        QVERIFY(old.write("old\n") > 0);
    }
    QCOMPARE(::chmod(QFile::encodeName(directory + QStringLiteral("/client.ovpn")).constData(), 0644), 0);

    const QByteArray profile = "client\ntls-exit\ntopology subnet\n tls-exit\ntls-exit\ntopology subnet\r\nremote 127.0.0.1 9";
    const ProfileFiles::Result result =
        ProfileFiles(directory, LogFunction)
            .write(200, body(QJsonArray{file(QStringLiteral("ca.crt"), Ca), file(QStringLiteral("client.ovpn"), profile),
                                        file(QStringLiteral("credentials.txt"), " vpnuser \r\n\tvpn pass\r ")}));

    QVERIFY2(result.ok(), qPrintable(result.error));
    QCOMPARE(result.profilePath, directory + QStringLiteral("/client.ovpn"));
    QCOMPARE(result.username, QStringLiteral("vpnuser"));
    QCOMPARE(result.password, QStringLiteral("vpn pass"));

    QFile written(result.profilePath);
    QVERIFY(written.open(QIODevice::ReadOnly));
    QCOMPARE(written.readAll(), QByteArray("client\n tls-exit\ntls-exit\ntopology subnet\r\nremote 127.0.0.1 9\n"));
    QFile certificate(directory + QStringLiteral("/ca.crt"));
    QVERIFY(certificate.open(QIODevice::ReadOnly));
    QCOMPARE(certificate.readAll(), Ca + '\n');
    QCOMPARE(modeOf(result.profilePath), mode_t(0600));
    QCOMPARE(modeOf(certificate.fileName()), mode_t(0600));
    QCOMPARE(modeOf(directory), mode_t(0700));
    QCOMPARE(entriesOf(directory), (QStringList{QStringLiteral("ca.crt"), QStringLiteral("client.ovpn")}));

    QCOMPARE(g_log, QStringList{QStringLiteral("Test::reply(): \"Credentials: vpnuser\"")});
}

QTEST_MAIN(TestProfileFiles)
#include "tst_profilefiles.moc"
