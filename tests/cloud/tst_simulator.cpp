#include <QtTest>

#include <QCryptographicHash>
#include <QRandomGenerator>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTcpServer>
#include <QTcpSocket>

#include "simulatorprocess.h"

// The simulator is a tool the client's tests, the lab and the demo stand on; these
// cases pin the behaviour they rely on.
class TestSimulator : public QObject
{
    Q_OBJECT

private slots:
    void vpnFiles();
    void defaultVpnFiles();
    void wrongMd5Fault();
    void keyExpiry();
    void domainsPerUser();
    void roles_data();
    void roles();
    void fixtureReplacedAtRunTime();
    void sharedCa();
    void plainHttpDevicePage();
    void badFixtureIsRefused();
    void serialService_data();
    void serialService();
    void serialNeedsADevice();
    void controlNeedsTheToken_data();
    void controlNeedsTheToken();
    void fixtureReadsOnlyItsOwnFiles_data();
    void fixtureReadsOnlyItsOwnFiles();
    void recordedRequestsMaskSecrets();

private:
    struct Answer
    {
        int status = 0;
        QByteArray body;
    };
    static Answer get(const QString &url, const QString &caFile, const QByteArray &token = {});
    static Answer send(const QString &url, const QString &caFile, const QList<QPair<QByteArray, QByteArray>> &headers);
    static QString signIn(const SimulatorProcess &simulator, const QString &username, const QString &password);
};

TestSimulator::Answer TestSimulator::get(const QString &url, const QString &caFile, const QByteArray &token)
{
    if (token.isEmpty())
        return send(url, caFile, {});
    return send(url, caFile, {{"x-access-token", token}});
}

TestSimulator::Answer TestSimulator::send(const QString &url, const QString &caFile,
                                          const QList<QPair<QByteArray, QByteArray>> &headers)
{
    QNetworkRequest request{QUrl(url)};
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.addCaCertificates(caFile, QSsl::Pem);
    request.setSslConfiguration(tls);
    for (const auto &[name, value] : headers)
        request.setRawHeader(name, value);
    QNetworkAccessManager manager;
    std::unique_ptr<QNetworkReply> reply(manager.get(request));
    QSignalSpy finished(reply.get(), &QNetworkReply::finished);
    if (!finished.wait(30000))
        return {};
    return {reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), reply->readAll()};
}

QString TestSimulator::signIn(const SimulatorProcess &simulator, const QString &username, const QString &password)
{
    QNetworkRequest request{QUrl(simulator.baseUrl() + QStringLiteral("/api/v2/api_key"))};
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.addCaCertificates(simulator.caFile(), QSsl::Pem);
    request.setSslConfiguration(tls);
    request.setRawHeader("Authorization", "Basic " + (username + QLatin1Char(':') + password).toUtf8().toBase64());
    QNetworkAccessManager manager;
    std::unique_ptr<QNetworkReply> reply(manager.get(request));
    QSignalSpy finished(reply.get(), &QNetworkReply::finished);
    if (!finished.wait(30000))
        return {};
    return QJsonDocument::fromJson(reply->readAll())
        .object()
        .value(QLatin1String("authentication"))
        .toObject()
        .value(QLatin1String("api_key"))
        .toString();
}

void TestSimulator::vpnFiles()
{
    SimulatorProcess simulator;
    const QByteArray certificate = "-----BEGIN CERTIFICATE-----\nnot really\n-----END CERTIFICATE-----\n";
    QVERIFY(simulator.writeFile(QStringLiteral("ca.crt"), certificate));
    QJsonObject fixture = SimulatorProcess::sampleFixture();
    QJsonArray domains = fixture.value(QLatin1String("domains")).toArray();
    QJsonObject domain = domains.at(0).toObject();
    domain.insert(QStringLiteral("vpn_files"),
                  QJsonArray{QJsonObject{{QStringLiteral("name"), QStringLiteral("client.ovpn")},
                                         {QStringLiteral("content"), QStringLiteral("client\nca ca.crt\n")}},
                             QJsonObject{{QStringLiteral("name"), QStringLiteral("ca.crt")},
                                         {QStringLiteral("path"), QStringLiteral("ca.crt")}},
                             QJsonObject{{QStringLiteral("name"), QStringLiteral("credentials.txt")},
                                         {QStringLiteral("content"), QStringLiteral("vpn-\u00e9l\u00e8ve\nsecret")}},
                             QJsonObject{{QStringLiteral("name"), QStringLiteral("fixed.txt")},
                                         {QStringLiteral("content"), QStringLiteral("x")},
                                         {QStringLiteral("md5"), QStringLiteral("ABC")}}});
    domains.replace(0, domain);
    fixture.insert(QStringLiteral("domains"), domains);
    QVERIFY2(simulator.start(fixture), qPrintable(simulator.errorString()));

    const QString key = signIn(simulator, QStringLiteral("alice"), QStringLiteral("secret"));
    QVERIFY(!key.isEmpty());
    const Answer answer = get(simulator.baseUrl() + QStringLiteral("/api/v2/vpn/domain/42"), simulator.caFile(), key.toLatin1());
    QCOMPARE(answer.status, 200);
    const QJsonArray files = QJsonDocument::fromJson(answer.body).object().value(QLatin1String("files")).toArray();
    QCOMPARE(files.size(), 4);

    const QList<QByteArray> contents{"client\nca ca.crt\n", certificate, QStringLiteral("vpn-\u00e9l\u00e8ve\nsecret").toUtf8(), "x"};
    const QStringList names{QStringLiteral("client.ovpn"), QStringLiteral("ca.crt"), QStringLiteral("credentials.txt"),
                            QStringLiteral("fixed.txt")};
    for (int i = 0; i < files.size(); ++i) {
        const QJsonObject file = files.at(i).toObject();
        QCOMPARE(file.value(QLatin1String("name")).toString(), names.at(i));
        QCOMPARE(QByteArray::fromBase64(file.value(QLatin1String("file")).toString().toLatin1()), contents.at(i));
        const QString md5 = i == 3 ? QStringLiteral("ABC")
                                   : QString::fromLatin1(QCryptographicHash::hash(contents.at(i), QCryptographicHash::Md5).toHex());
        QCOMPARE(file.value(QLatin1String("md5")).toString(), md5);
    }
}

void TestSimulator::defaultVpnFiles()
{
    SimulatorProcess simulator;
    QVERIFY2(simulator.start(SimulatorProcess::sampleFixture()), qPrintable(simulator.errorString()));
    const QString key = signIn(simulator, QStringLiteral("alice"), QStringLiteral("secret"));
    const Answer answer = get(simulator.baseUrl() + QStringLiteral("/api/v2/vpn/domain/42"), simulator.caFile(), key.toLatin1());
    QCOMPARE(answer.status, 200);
    const QJsonArray files = QJsonDocument::fromJson(answer.body).object().value(QLatin1String("files")).toArray();
    QStringList names;
    for (const QJsonValue &file : files)
        names << file.toObject().value(QLatin1String("name")).toString();
    QCOMPARE(names, (QStringList{QStringLiteral("client.ovpn"), QStringLiteral("ca.crt"), QStringLiteral("credentials.txt")}));
    QFile ca(simulator.caFile());
    QVERIFY(ca.open(QIODevice::ReadOnly));
    QCOMPARE(QByteArray::fromBase64(files.at(1).toObject().value(QLatin1String("file")).toString().toLatin1()), ca.readAll());
    const QByteArray credentials = QByteArray::fromBase64(files.at(2).toObject().value(QLatin1String("file")).toString().toLatin1());
    QCOMPARE(credentials.split('\n').size(), 2);
}

void TestSimulator::wrongMd5Fault()
{
    SimulatorProcess simulator;
    QVERIFY2(simulator.start(SimulatorProcess::sampleFixture()), qPrintable(simulator.errorString()));
    const QString key = signIn(simulator, QStringLiteral("alice"), QStringLiteral("secret"));
    QVERIFY(simulator.addFault({{QStringLiteral("path"), QStringLiteral("/api/v2/vpn/domain/*")},
                                {QStringLiteral("wrong_md5"), true},
                                {QStringLiteral("times"), 1}}));
    for (bool wrong : {true, false}) {
        const Answer answer =
            get(simulator.baseUrl() + QStringLiteral("/api/v2/vpn/domain/42"), simulator.caFile(), key.toLatin1());
        QCOMPARE(answer.status, 200);
        const QJsonObject file =
            QJsonDocument::fromJson(answer.body).object().value(QLatin1String("files")).toArray().at(0).toObject();
        const QByteArray content = QByteArray::fromBase64(file.value(QLatin1String("file")).toString().toLatin1());
        const QString md5 = QString::fromLatin1(QCryptographicHash::hash(content, QCryptographicHash::Md5).toHex());
        QCOMPARE(file.value(QLatin1String("md5")).toString() != md5, wrong);
    }
}

void TestSimulator::keyExpiry()
{
    SimulatorProcess simulator;
    QVERIFY2(simulator.start(SimulatorProcess::sampleFixture()), qPrintable(simulator.errorString()));
    // Long enough for the first request on a loaded machine (a sanitized build), short
    // enough to wait for.
    QVERIFY(simulator.addFault({{QStringLiteral("path"), QStringLiteral("/api/v2/api_key")},
                                {QStringLiteral("key_expires_in"), 5},
                                {QStringLiteral("times"), 1}}));
    const QString key = signIn(simulator, QStringLiteral("alice"), QStringLiteral("secret"));
    QVERIFY(!key.isEmpty());
    QCOMPARE(get(simulator.baseUrl() + QStringLiteral("/api/v2/domain"), simulator.caFile(), key.toLatin1()).status, 200);
    QTRY_COMPARE_WITH_TIMEOUT(
        get(simulator.baseUrl() + QStringLiteral("/api/v2/domain"), simulator.caFile(), key.toLatin1()).status, 401,
        20000);
    QCOMPARE(get(simulator.baseUrl() + QStringLiteral("/api/v2/api_key"), simulator.caFile(), key.toLatin1()).status, 401);
}

void TestSimulator::domainsPerUser()
{
    SimulatorProcess simulator;
    QVERIFY2(simulator.start(SimulatorProcess::sampleFixture()), qPrintable(simulator.errorString()));
    const QString bob = signIn(simulator, QStringLiteral("bob"), QStringLiteral("hunter2"));
    const Answer domains = get(simulator.baseUrl() + QStringLiteral("/api/v2/domain"), simulator.caFile(), bob.toLatin1());
    QCOMPARE(domains.status, 200);
    const QJsonArray list = QJsonDocument::fromJson(domains.body).object().value(QLatin1String("domains")).toArray();
    QCOMPARE(list.size(), 1);
    const QJsonObject domain = list.at(0).toObject();
    QCOMPARE(domain.value(QLatin1String("name")).toString(), QStringLiteral("Usine \u00c6r\u00f8"));
    // What only the simulator reads stays out of the cloud's answer.
    QVERIFY(!domain.value(QLatin1String("devices")).toArray().at(0).toObject().contains(QLatin1String("dst_ip_port")));
    QCOMPARE(get(simulator.baseUrl() + QStringLiteral("/api/v2/vpn/domain/43"), simulator.caFile(), bob.toLatin1()).status, 404);
}

void TestSimulator::roles_data()
{
    QTest::addColumn<QString>("role");
    QTest::addColumn<int>("cloudStatus");
    QTest::addColumn<int>("deviceStatus");
    QTest::newRow("cloud") << "cloud" << 401 << 404;
    QTest::newRow("device") << "device" << 404 << 200;
    QTest::newRow("both") << "both" << 401 << 200;
}

void TestSimulator::roles()
{
    QFETCH(QString, role);
    QFETCH(int, cloudStatus);
    QFETCH(int, deviceStatus);
    SimulatorProcess simulator;
    QVERIFY2(simulator.start(SimulatorProcess::sampleFixture(), {QStringLiteral("--role"), role}),
             qPrintable(simulator.errorString()));
    QCOMPARE(get(simulator.baseUrl() + QStringLiteral("/api/v2/domain"), simulator.caFile()).status, cloudStatus);
    QCOMPARE(get(simulator.baseUrl() + QStringLiteral("/api/v1/remote/access/2?api_key=devkey7"), simulator.caFile()).status,
             deviceStatus);
}

void TestSimulator::fixtureReplacedAtRunTime()
{
    SimulatorProcess simulator;
    QVERIFY2(simulator.start(SimulatorProcess::sampleFixture()), qPrintable(simulator.errorString()));
    const QString key = signIn(simulator, QStringLiteral("alice"), QStringLiteral("secret"));

    QJsonObject fixture = SimulatorProcess::sampleFixture();
    QJsonArray domains = fixture.value(QLatin1String("domains")).toArray();
    domains.removeAt(1);
    fixture.insert(QStringLiteral("domains"), domains);
    QVERIFY(simulator.setFixture(fixture));

    // Keys issued before the change stay valid.
    const Answer answer = get(simulator.baseUrl() + QStringLiteral("/api/v2/domain"), simulator.caFile(), key.toLatin1());
    QCOMPARE(answer.status, 200);
    QCOMPARE(QJsonDocument::fromJson(answer.body).object().value(QLatin1String("domains")).toArray().size(), 1);
}

void TestSimulator::sharedCa()
{
    SimulatorProcess first;
    QVERIFY2(first.start(SimulatorProcess::sampleFixture()), qPrintable(first.errorString()));
    SimulatorProcess second;
    const QString caDirectory = QFileInfo(first.caFile()).absolutePath();
    QVERIFY2(second.start(SimulatorProcess::sampleFixture(), {QStringLiteral("--ca-dir"), caDirectory}),
             qPrintable(second.errorString()));
    QCOMPARE(second.caFile(), first.caFile());
    // One CA file trusts both servers.
    QCOMPARE(get(second.baseUrl() + QStringLiteral("/api/v2/domain"), first.caFile()).status, 401);
    QCOMPARE(get(first.baseUrl() + QStringLiteral("/api/v2/domain"), first.caFile()).status, 401);
    QFileInfo caKey(caDirectory + QStringLiteral("/ca-key.pem"));
    QCOMPARE(caKey.permissions() & (QFileDevice::ReadGroup | QFileDevice::ReadOther), QFileDevice::Permissions());
}

void TestSimulator::plainHttpDevicePage()
{
    SimulatorProcess simulator;
    QVERIFY2(simulator.start(SimulatorProcess::sampleFixture(),
                             {QStringLiteral("--role"), QStringLiteral("device"), QStringLiteral("--device-id"),
                              QStringLiteral("7"), QStringLiteral("--http-port"), QStringLiteral("0")}),
             qPrintable(simulator.errorString()));
    QVERIFY(simulator.httpUrl().startsWith(QLatin1String("http://127.0.0.1:")));
    const Answer page = get(simulator.httpUrl() + QStringLiteral("/"), simulator.caFile());
    QCOMPARE(page.status, 200);
    QVERIFY(QString::fromUtf8(page.body).contains(QStringLiteral("Pompe n\u00b0 1")));
    // Only device 7 is served here: device 8's key is unknown.
    QCOMPARE(get(simulator.baseUrl() + QStringLiteral("/api/v1/remote/access/1?api_key=devkey8"), simulator.caFile()).status, 401);
    QCOMPARE(get(simulator.baseUrl() + QStringLiteral("/api/v1/remote/access/1?api_key=devkey7"), simulator.caFile()).status, 200);
}

void TestSimulator::badFixtureIsRefused()
{
    SimulatorProcess simulator;
    QJsonObject fixture = SimulatorProcess::sampleFixture();
    QJsonArray domains = fixture.value(QLatin1String("domains")).toArray();
    QJsonObject domain = domains.at(0).toObject();
    domain.insert(QStringLiteral("vpn_files"), QJsonArray{QJsonObject{{QStringLiteral("name"), QStringLiteral("ca.crt")},
                                                                       {QStringLiteral("path"), QStringLiteral("missing.crt")}}});
    domains.replace(0, domain);
    fixture.insert(QStringLiteral("domains"), domains);
    QVERIFY(!simulator.start(fixture));
    QVERIFY2(simulator.errorString().contains(QStringLiteral("missing.crt")), qPrintable(simulator.errorString()));
    QVERIFY(!simulator.isRunning());
}

namespace {

quint16 freeTcpPort()
{
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost, 0) ? probe.serverPort() : 0;
}

} // namespace

void TestSimulator::serialService_data()
{
    QTest::addColumn<bool>("sharedPort");
    QTest::addColumn<QByteArrayList>("sent");
    QTest::addColumn<QByteArray>("expected");

    const QByteArray name = QStringLiteral("Pompe n\u00b0 1").toUtf8();
    QTest::newRow("AT") << false << QByteArrayList{"AT\r\n"} << QByteArray("OK\r\n");
    QTest::newRow("identity, lower case, LF") << false << QByteArrayList{"id?\n"} << QByteArray(name + " (device 7, RS 485)\r\n");
    QTest::newRow("ATI on the shared port") << true << QByteArrayList{"ATI\r"} << QByteArray(name + " (device 7, serial)\r\n");
    QTest::newRow("anything else comes back") << false << QByteArrayList{"hello device\r\n"} << QByteArray("hello device\r\n");
    QTest::newRow("empty lines answer nothing") << false << QByteArrayList{"\r\n\n\rAT\r\n"} << QByteArray("OK\r\n");
    QTest::newRow("a line in pieces") << false << QByteArrayList{"A", "T\r", "\nAT\n"} << QByteArray("OK\r\nOK\r\n");
}

// The device's serial interfaces as the lab serves them: a line responder per port the
// remote-access answer names.
void TestSimulator::serialService()
{
    QFETCH(bool, sharedPort);
    QFETCH(QByteArrayList, sent);
    QFETCH(QByteArray, expected);

    const quint16 ownPort = freeTcpPort();
    const quint16 fallbackPort = freeTcpPort();
    QVERIFY(ownPort && fallbackPort && ownPort != fallbackPort);
    QJsonObject fixture = SimulatorProcess::sampleFixture();
    QJsonArray domains = fixture.value(QLatin1String("domains")).toArray();
    QJsonObject domain = domains.at(0).toObject();
    QJsonArray devices = domain.value(QLatin1String("devices")).toArray();
    QJsonObject device = devices.at(0).toObject();
    QCOMPARE(device.value(QLatin1String("id")).toInt(), 7);
    device.insert(QStringLiteral("dst_ip_port"), fallbackPort);
    device.insert(QStringLiteral("dst_ip_ports"), QJsonObject{{QStringLiteral("2"), ownPort}});
    devices.replace(0, device);
    domain.insert(QStringLiteral("devices"), devices);
    domains.replace(0, domain);
    fixture.insert(QStringLiteral("domains"), domains);

    SimulatorProcess simulator;
    QVERIFY2(simulator.start(fixture, {QStringLiteral("--role"), QStringLiteral("device"), QStringLiteral("--device-id"),
                                       QStringLiteral("7"), QStringLiteral("--serial")}),
             qPrintable(simulator.errorString()));

    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, sharedPort ? fallbackPort : ownPort);
    QVERIFY2(socket.waitForConnected(10000), qPrintable(socket.errorString()));
    for (const QByteArray &piece : sent) {
        socket.write(piece);
        QVERIFY(socket.waitForBytesWritten(5000));
    }
    QByteArray received;
    QTRY_VERIFY_WITH_TIMEOUT((received += socket.readAll()).size() >= expected.size(), 10000);
    QCOMPARE(received, expected);
    // Nothing more follows (no answer to the empty lines): the answer to one more line
    // comes next on the stream, with nothing before it.
    socket.write("AT\r\n");
    QVERIFY(socket.waitForBytesWritten(5000));
    QByteArray after;
    QTRY_VERIFY_WITH_TIMEOUT((after += socket.readAll()).size() >= 4, 10000);
    QCOMPARE(after, QByteArray("OK\r\n"));
}

void TestSimulator::serialNeedsADevice()
{
    SimulatorProcess simulator;
    QVERIFY(!simulator.start(SimulatorProcess::sampleFixture(), {QStringLiteral("--role"), QStringLiteral("cloud"),
                                                                 QStringLiteral("--serial")}));
    QVERIFY2(simulator.errorString().contains(QStringLiteral("--serial")), qPrintable(simulator.errorString()));
}

void TestSimulator::controlNeedsTheToken_data()
{
    QTest::addColumn<QByteArray>("method");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QByteArray>("body");
    QTest::newRow("read the requests") << QByteArray("GET") << "/_sim/requests" << QByteArray();
    QTest::newRow("forget the requests") << QByteArray("DELETE") << "/_sim/requests" << QByteArray();
    QTest::newRow("read the faults") << QByteArray("GET") << "/_sim/fault" << QByteArray();
    QTest::newRow("add a fault") << QByteArray("POST") << "/_sim/fault" << QByteArray(R"({"status": 503})");
    QTest::newRow("replace the fixture") << QByteArray("POST") << "/_sim/fixture" << QByteArray(R"({"users": []})");
    QTest::newRow("unknown control path") << QByteArray("GET") << "/_sim/nothing" << QByteArray();
}

// Without the token, or with any other, a control request is answered 403 and changes
// nothing; the answer tells nothing of what was recorded.
void TestSimulator::controlNeedsTheToken()
{
    QFETCH(QByteArray, method);
    QFETCH(QString, path);
    QFETCH(QByteArray, body);
    SimulatorProcess simulator;
    QVERIFY2(simulator.start(SimulatorProcess::sampleFixture()), qPrintable(simulator.errorString()));
    QVERIFY(!signIn(simulator, QStringLiteral("alice"), QStringLiteral("secret")).isEmpty());

    int status = 0;
    QByteArray answer;
    QByteArray changed = simulator.controlToken();
    changed[changed.size() - 1] = changed.endsWith('0') ? '1' : '0';
    const QByteArrayList tokens{QByteArray(), QByteArray("wrong-token-of-some-length"), changed,
                                simulator.controlToken() + '0', simulator.controlToken().chopped(1)};
    for (const QByteArray &token : tokens) {
        simulator.controlWithToken(method, path, body, token, &status, &answer);
        QCOMPARE(status, 403);
        QVERIFY2(!answer.contains("api_key") && !answer.contains("headers"), answer.constData());
    }

    // Nothing happened: the sign-in is still recorded, no fault is in force, the
    // fixture's users still sign in.
    QCOMPARE(simulator.requests().size(), 1);
    simulator.controlWithToken("GET", QStringLiteral("/_sim/fault"), {}, {}, &status, &answer);
    QCOMPARE(status, 403);
    QVERIFY(!signIn(simulator, QStringLiteral("bob"), QStringLiteral("hunter2")).isEmpty());
    QCOMPARE(simulator.requests().size(), 2);
}

void TestSimulator::fixtureReadsOnlyItsOwnFiles_data()
{
    QTest::addColumn<QString>("name");  // "@" stands for the outside file's absolute path
    QTest::newRow("absolute path") << "@";
    QTest::newRow("/etc/shadow") << "/etc/shadow";
    QTest::newRow("parent directory") << "../outside.txt";
    QTest::newRow("subdirectory") << "sub/inside.txt";
    QTest::newRow("symbolic link") << "link.txt";
    QTest::newRow("hidden name") << ".hidden";
    QTest::newRow("dots inside") << "a..txt";
    QTest::newRow("empty") << "";
    QTest::newRow("directory") << "subdir";
}

// A fixture names VPN files by plain names in the simulator's files directory; any other
// name, at start or posted later, is refused and nothing outside that directory is read.
void TestSimulator::fixtureReadsOnlyItsOwnFiles()
{
    QFETCH(QString, name);
    const QByteArray secret = "OUTSIDE-SECRET-" + QByteArray::number(QRandomGenerator::global()->generate());
    QTemporaryDir outside;
    QVERIFY(outside.isValid());
    const QString outsideFile = outside.filePath(QStringLiteral("outside.txt"));
    {
        QFile file(outsideFile);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QCOMPARE(file.write(secret), secret.size());
        QVERIFY(file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner));
    }
    if (name == QLatin1String("@"))
        name = outsideFile;

    SimulatorProcess simulator;
    // The files directory is "files" in the simulator's directory, which holds a copy
    // of the secret beside it.
    for (const char *inside : {"files/good.txt", "files/sub/inside.txt", "files/subdir/x", "files/.hidden", "files/a..txt"})
        QVERIFY(simulator.writeFile(QString::fromLatin1(inside), "inside"));
    QVERIFY(simulator.writeFile(QStringLiteral("outside.txt"), secret));
    QVERIFY(QFile::link(outsideFile, simulator.directory() + QStringLiteral("/files/link.txt")));
    const QStringList filesDir{QStringLiteral("--files-dir"), simulator.directory() + QStringLiteral("/files")};

    const auto withFile = [](const QString &path) {
        QJsonObject fixture = SimulatorProcess::sampleFixture();
        QJsonArray domains = fixture.value(QLatin1String("domains")).toArray();
        QJsonObject domain = domains.at(0).toObject();
        domain.insert(QStringLiteral("vpn_files"), QJsonArray{QJsonObject{{QStringLiteral("name"), QStringLiteral("ca.crt")},
                                                                           {QStringLiteral("path"), path}}});
        domains.replace(0, domain);
        fixture.insert(QStringLiteral("domains"), domains);
        return fixture;
    };

    // At start.
    QVERIFY(!simulator.start(withFile(name), filesDir));
    QVERIFY2(!simulator.errorString().toUtf8().contains(secret), qPrintable(simulator.errorString()));

    // Posted to a running simulator: refused, and the files served stay the good ones.
    QVERIFY2(simulator.start(withFile(QStringLiteral("good.txt")), filesDir), qPrintable(simulator.errorString()));
    int status = 0;
    QByteArray answer;
    simulator.controlWithToken("POST", QStringLiteral("/_sim/fixture"), QJsonDocument(withFile(name)).toJson(), {}, &status,
                               &answer);
    QCOMPARE(status, 403);
    QVERIFY(!simulator.setFixture(withFile(name)));
    const QString key = signIn(simulator, QStringLiteral("alice"), QStringLiteral("secret"));
    QVERIFY(!key.isEmpty());
    const Answer files = get(simulator.baseUrl() + QStringLiteral("/api/v2/vpn/domain/42"), simulator.caFile(), key.toLatin1());
    QCOMPARE(files.status, 200);
    const QJsonArray list = QJsonDocument::fromJson(files.body).object().value(QLatin1String("files")).toArray();
    QCOMPARE(list.size(), 1);
    QCOMPARE(QByteArray::fromBase64(list.at(0).toObject().value(QLatin1String("file")).toString().toLatin1()), QByteArray("inside"));
    QVERIFY(!simulator.log().contains(secret));
}

// The recorded requests and the log keep credentials only as masks of the values sent.
void TestSimulator::recordedRequestsMaskSecrets()
{
    SimulatorProcess simulator;
    QVERIFY2(simulator.start(SimulatorProcess::sampleFixture()), qPrintable(simulator.errorString()));
    const QByteArray basic = "Basic " + QByteArray("alice:secret").toBase64();
    const Answer signedIn = send(simulator.baseUrl() + QStringLiteral("/api/v2/api_key"), simulator.caFile(),
                                 {{"Authorization", basic}, {"Cookie", "session=cookie-value-77"}});
    QCOMPARE(signedIn.status, 200);
    const QByteArray key = QJsonDocument::fromJson(signedIn.body)
                               .object()
                               .value(QLatin1String("authentication"))
                               .toObject()
                               .value(QLatin1String("api_key"))
                               .toString()
                               .toLatin1();
    QVERIFY(!key.isEmpty());
    QCOMPARE(get(simulator.baseUrl() + QStringLiteral("/api/v2/domain"), simulator.caFile(), key).status, 200);
    QCOMPARE(get(simulator.baseUrl() + QStringLiteral("/api/v1/remote/access/1?x=1&api_key=devkey7&password=pw-77"),
                 simulator.caFile())
                 .status,
             200);

    const QJsonArray recorded = simulator.requests();
    QCOMPARE(recorded.size(), 3);
    const QByteArray text = QJsonDocument(recorded).toJson();
    for (const QByteArray &secret : {QByteArray("alice:secret"), basic.mid(6), QByteArray("cookie-value-77"), key,
                                     QByteArray("devkey7"), QByteArray("pw-77")}) {
        QVERIFY2(!text.contains(secret), secret.constData());
        QVERIFY2(!simulator.log().contains(secret), secret.constData());
    }
    const QJsonObject signIn = recorded.at(0).toObject();
    QCOMPARE(SimulatorProcess::header(signIn, QStringLiteral("Authorization")), simulator.masked(basic));
    QCOMPARE(SimulatorProcess::header(signIn, QStringLiteral("Cookie")), simulator.masked("session=cookie-value-77"));
    QCOMPARE(SimulatorProcess::header(recorded.at(1).toObject(), QStringLiteral("x-access-token")), simulator.masked(key));
    const QString query = QStringLiteral("x=1&api_key=%1&password=%2").arg(simulator.masked("devkey7"), simulator.masked("pw-77"));
    QCOMPARE(recorded.at(2).toObject().value(QLatin1String("query")).toString(), query);
    QCOMPARE(recorded.at(2).toObject().value(QLatin1String("target")).toString(),
             QStringLiteral("/api/v1/remote/access/1?") + query);
}

QTEST_GUILESS_MAIN(TestSimulator)
#include "tst_simulator.moc"
