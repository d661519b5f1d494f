#include <QtTest>

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>

#include "cloud/httprequest.h"
#include "base/loggingcontrol.h"
#include "eventsentinel.h"
#include "simulatorprocess.h"

namespace {

QStringList g_messages;

void collectMessages(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type == QtInfoMsg)
        g_messages.append(message);
}

// Every line of any type, for tests about what must never be written.
void collectAllMessages(QtMsgType, const QMessageLogContext &, const QString &message)
{
    g_messages.append(message);
}

// Switches logging on at full verbosity and collects its lines in g_messages;
// cleanup() switches both off again.
void captureLog(const QString &categoryFilter, QtMessageHandler handler)
{
    LoggingControl::set(4, categoryFilter);
    g_messages.clear();
    qInstallMessageHandler(handler);
}

// Passes a TCP connection through to the simulator only after a pause, so that the
// TLS handshake happens after the request's inner watch has expired.
class DelayingProxy : public QObject
{
public:
    DelayingProxy(quint16 target, int delayMs)
        : m_target(target)
        , m_delayMs(delayMs)
    {
        connect(&m_server, &QTcpServer::newConnection, this, &DelayingProxy::onNewConnection);
    }

    bool listen() { return m_server.listen(QHostAddress::LocalHost, 0); }
    quint16 port() const { return m_server.serverPort(); }

private:
    void onNewConnection()
    {
        QTcpSocket *client = m_server.nextPendingConnection();
        client->setParent(this);
        QTimer::singleShot(m_delayMs, client, [this, client] {
            auto *upstream = new QTcpSocket(client);
            connect(upstream, &QTcpSocket::connected, client, [client, upstream] {
                upstream->write(client->readAll());
                connect(client, &QTcpSocket::readyRead, upstream, [client, upstream] { upstream->write(client->readAll()); });
                connect(upstream, &QTcpSocket::readyRead, client, [client, upstream] { client->write(upstream->readAll()); });
                connect(upstream, &QTcpSocket::disconnected, client, &QTcpSocket::disconnectFromHost);
                connect(client, &QTcpSocket::disconnected, upstream, &QTcpSocket::disconnectFromHost);
            });
            upstream->connectToHost(QHostAddress::LocalHost, m_target);
        });
    }

    QTcpServer m_server;
    quint16 m_target;
    int m_delayMs;
};

} // namespace

class TestHttpRequest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void classification_data();
    void classification();
    void unreachableHost();
    void untrustedCertificate_data();
    void untrustedCertificate();
    void slowHandshakeIsStillVerified();
    void objectsGoneAfterTheSignal_data();
    void objectsGoneAfterTheSignal();
    void sendsOnlyTheCallersHeaders();
    void basicAuthorization_data();
    void basicAuthorization();
    void lateReplyIsStillReported();
    void replyThatNeverFinishesIsAborted();
    void oversizedReplyIsRefused();
    void secretsStayOutOfTheLog_data();
    void secretsStayOutOfTheLog();

private:
    // Sends one GET and waits for its one signal.
    void send(HttpRequest *request, const QString &url, QString *signal, int *status, QString *data);

    SimulatorProcess m_simulator;
};

void TestHttpRequest::initTestCase()
{
    QVERIFY2(m_simulator.start(SimulatorProcess::sampleFixture()), qPrintable(m_simulator.errorString()));
}

void TestHttpRequest::init()
{
    m_simulator.exportEnvironment();
    QVERIFY(m_simulator.clearFaults());
    QVERIFY(m_simulator.clearRequests());
    HttpRequest::setTimeouts(30000, 120000);
    HttpRequest::setMaxBodySize(16 * 1024 * 1024);
}

void TestHttpRequest::cleanup()
{
    qInstallMessageHandler(nullptr);
    LoggingControl::set(0, QStringLiteral("None"));
}

void TestHttpRequest::send(HttpRequest *request, const QString &url, QString *signal, int *status, QString *data)
{
    QSignalSpy successSpy(request, &HttpRequest::success);
    QSignalSpy errorSpy(request, &HttpRequest::error);
    request->get(url);
    QTRY_COMPARE_WITH_TIMEOUT(successSpy.size() + errorSpy.size(), 1, 30000);
    const QList<QVariant> arguments = successSpy.isEmpty() ? errorSpy.first() : successSpy.first();
    *signal = successSpy.isEmpty() ? QStringLiteral("error") : QStringLiteral("success");
    *status = arguments.at(0).toInt();
    *data = arguments.at(1).toString();
    // Nothing more may arrive once the event loop has run past what the signal posted.
    QVERIFY(deliverPostedEvents());
    QCOMPARE(successSpy.size() + errorSpy.size(), 1);
}

void TestHttpRequest::classification_data()
{
    QTest::addColumn<QJsonObject>("fault");
    QTest::addColumn<QString>("signal");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("data");

    const auto fault = [](int status, const QString &body) {
        return QJsonObject{{QStringLiteral("status"), status}, {QStringLiteral("body"), body}};
    };
    QTest::newRow("200 with body") << fault(200, QStringLiteral("{\"a\":1}")) << "success" << 200 << "{\"a\":1}";
    QTest::newRow("200 utf-8 body") << fault(200, QStringLiteral("\u00c6r\u00f8 \u20ac")) << "success" << 200
                                    << QStringLiteral("\u00c6r\u00f8 \u20ac");
    QTest::newRow("200 malformed JSON is still a success") << fault(200, QStringLiteral("{\"a\":")) << "success" << 200
                                                           << "{\"a\":";
    QTest::newRow("204 empty") << fault(204, QString()) << "success" << 204 << "";
    QTest::newRow("299") << fault(299, QStringLiteral("odd")) << "success" << 299 << "odd";
    QTest::newRow("401 with body") << fault(401, QStringLiteral("{\"message\":\"no\"}")) << "error" << 401 << "";
    QTest::newRow("404") << fault(404, QStringLiteral("missing")) << "error" << 404 << "";
    QTest::newRow("500") << fault(500, QStringLiteral("boom")) << "error" << 500 << "";
    QTest::newRow("truncated body") << QJsonObject{{QStringLiteral("status"), 200},
                                                   {QStringLiteral("body"), QStringLiteral("0123456789abcdef")},
                                                   {QStringLiteral("truncate"), true}}
                                    << "error" << 200 << "";
    QTest::newRow("connection closed without answer") << QJsonObject{{QStringLiteral("drop"), true}} << "error" << -1 << "";
}

void TestHttpRequest::classification()
{
    QFETCH(QJsonObject, fault);
    QFETCH(QString, signal);
    QFETCH(int, status);
    QFETCH(QString, data);

    fault.insert(QStringLiteral("path"), QStringLiteral("/probe"));
    QVERIFY(m_simulator.addFault(fault));

    QString gotSignal;
    int gotStatus = 0;
    QString gotData;
    send(new HttpRequest(), m_simulator.baseUrl() + QStringLiteral("/probe"), &gotSignal, &gotStatus, &gotData);
    QCOMPARE(gotSignal, signal);
    QCOMPARE(gotStatus, status);
    QCOMPARE(gotData, data);
}

void TestHttpRequest::unreachableHost()
{
    // A port that was free a moment ago refuses the connection.
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
    const quint16 closedPort = probe.serverPort();
    probe.close();

    captureLog(QStringLiteral("http_request"), collectMessages);

    QString signal;
    int status = 0;
    QString data;
    send(new HttpRequest(), QStringLiteral("https://127.0.0.1:%1/api/v2/domain").arg(closedPort), &signal, &status, &data);
    QCOMPARE(signal, QStringLiteral("error"));
    QCOMPARE(status, -1);
    QCOMPARE(data, QString());
    QVERIFY2(g_messages.filter(QStringLiteral("invalid status code: -1")).size() == 1, qPrintable(g_messages.join(u'\n')));
}

void TestHttpRequest::untrustedCertificate_data()
{
    QTest::addColumn<bool>("abortOnSslErrors");
    QTest::newRow("without abortOnSslErrors") << false;
    QTest::newRow("with abortOnSslErrors") << true;
}

void TestHttpRequest::untrustedCertificate()
{
    QFETCH(bool, abortOnSslErrors);
    qunsetenv("CORRIVO_CA_FILE");

    auto *request = new HttpRequest();
    request->abortOnSslErrors = abortOnSslErrors;
    QString signal;
    int status = 0;
    QString data;
    send(request, m_simulator.baseUrl() + QStringLiteral("/api/v2/domain"), &signal, &status, &data);
    QCOMPARE(signal, QStringLiteral("error"));
    QCOMPARE(status, -1);
    QCOMPARE(data, QString());
    // The handshake failed, so no request line ever reached the server.
    QVERIFY(m_simulator.requests().isEmpty());
}

void TestHttpRequest::slowHandshakeIsStillVerified()
{
    // The inner watch expires while the handshake has not even started; it must not
    // make the request accept a certificate nobody trusts.
    HttpRequest::setTimeouts(100, 60000);
    qunsetenv("CORRIVO_CA_FILE");
    DelayingProxy proxy(m_simulator.port(), 800);
    QVERIFY(proxy.listen());
    QVERIFY(m_simulator.addFault({{QStringLiteral("path"), QStringLiteral("/probe")},
                                  {QStringLiteral("status"), 200},
                                  {QStringLiteral("body"), QStringLiteral("accepted")}}));

    QString signal;
    int status = 0;
    QString data;
    send(new HttpRequest(), QStringLiteral("https://127.0.0.1:%1/probe").arg(proxy.port()), &signal, &status, &data);
    QCOMPARE(signal, QStringLiteral("error"));
    QCOMPARE(status, -1);
    QVERIFY(m_simulator.requests().isEmpty());

    // The same path with the CA trusted works, so the proxy is not what failed.
    m_simulator.exportEnvironment();
    send(new HttpRequest(), QStringLiteral("https://127.0.0.1:%1/probe").arg(proxy.port()), &signal, &status, &data);
    QCOMPARE(signal, QStringLiteral("success"));
    QCOMPARE(data, QStringLiteral("accepted"));
}

void TestHttpRequest::objectsGoneAfterTheSignal_data()
{
    QTest::addColumn<int>("status");
    QTest::newRow("success") << 200;
    QTest::newRow("error") << 500;
}

void TestHttpRequest::objectsGoneAfterTheSignal()
{
    QFETCH(int, status);
    QVERIFY(m_simulator.addFault({{QStringLiteral("path"), QStringLiteral("/probe")},
                                  {QStringLiteral("status"), status},
                                  {QStringLiteral("body"), QStringLiteral("x")}}));

    auto *request = new HttpRequest();
    QPointer<HttpRequest> requestGuard(request);
    QPointer<QNetworkAccessManager> managerGuard(request->manager());
    QPointer<QNetworkReply> replyGuard;
    int signalCount = 0;
    bool aliveAtSignal = false;
    const auto atSignal = [&] {
        ++signalCount;
        aliveAtSignal = requestGuard && managerGuard && replyGuard && replyGuard->isFinished();
    };
    connect(request, &HttpRequest::success, this, atSignal);
    connect(request, &HttpRequest::error, this, atSignal);

    request->get(m_simulator.baseUrl() + QStringLiteral("/probe"));
    replyGuard = request->reply();
    QVERIFY(replyGuard);
    QTRY_COMPARE_WITH_TIMEOUT(signalCount, 1, 30000);
    QVERIFY(aliveAtSignal);
    QTRY_VERIFY(!requestGuard && !managerGuard && !replyGuard);
    QCOMPARE(signalCount, 1);
}

void TestHttpRequest::sendsOnlyTheCallersHeaders()
{
    auto *request = new HttpRequest();
    request->setRawHeader(QByteArrayLiteral("x-access-token"), QByteArrayLiteral("k1"));
    QString signal;
    int status = 0;
    QString data;
    send(request, m_simulator.baseUrl() + QStringLiteral("/probe?a=1"), &signal, &status, &data);

    const QJsonArray requests = m_simulator.requests();
    QCOMPARE(requests.size(), 1);
    const QJsonObject recorded = requests.first().toObject();
    QCOMPARE(recorded.value(QLatin1String("method")).toString(), QStringLiteral("GET"));
    QCOMPARE(recorded.value(QLatin1String("target")).toString(), QStringLiteral("/probe?a=1"));
    QCOMPARE(SimulatorProcess::header(recorded, QStringLiteral("x-access-token")), m_simulator.masked("k1"));
    QVERIFY(!SimulatorProcess::hasHeader(recorded, QStringLiteral("Authorization")));
    QVERIFY(!SimulatorProcess::hasHeader(recorded, QStringLiteral("Cookie")));
}

void TestHttpRequest::basicAuthorization_data()
{
    QTest::addColumn<QString>("username");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("header");
    QTest::newRow("plain") << "alice" << "secret" << "Basic YWxpY2U6c2VjcmV0";
    QTest::newRow("empty password keeps the colon") << "alice" << "" << "Basic YWxpY2U6";
    QTest::newRow("colon in password") << "u" << "p:q" << "Basic dTpwOnE=";
}

void TestHttpRequest::basicAuthorization()
{
    QFETCH(QString, username);
    QFETCH(QString, password);
    QFETCH(QString, header);

    auto *request = new HttpRequest();
    request->setBasicAuthorization(username, password);
    QString signal;
    int status = 0;
    QString data;
    send(request, m_simulator.baseUrl() + QStringLiteral("/probe"), &signal, &status, &data);
    const QJsonArray requests = m_simulator.requests();
    QCOMPARE(requests.size(), 1);
    QCOMPARE(SimulatorProcess::header(requests.first().toObject(), QStringLiteral("Authorization")),
             m_simulator.masked(header.toUtf8()));
}

void TestHttpRequest::lateReplyIsStillReported()
{
    // The inner watch expires long before the answer; it must neither end nor
    // report the request.
    HttpRequest::setTimeouts(100, 60000);
    QVERIFY(m_simulator.addFault({{QStringLiteral("path"), QStringLiteral("/probe")},
                                  {QStringLiteral("status"), 200},
                                  {QStringLiteral("body"), QStringLiteral("late")},
                                  {QStringLiteral("delay_ms"), 1500}}));
    QString signal;
    int status = 0;
    QString data;
    send(new HttpRequest(), m_simulator.baseUrl() + QStringLiteral("/probe"), &signal, &status, &data);
    QCOMPARE(signal, QStringLiteral("success"));
    QCOMPARE(status, 200);
    QCOMPARE(data, QStringLiteral("late"));
}

void TestHttpRequest::replyThatNeverFinishesIsAborted()
{
    HttpRequest::setTimeouts(100, 1000);
    QVERIFY(m_simulator.addFault({{QStringLiteral("path"), QStringLiteral("/probe")},
                                  {QStringLiteral("status"), 200},
                                  {QStringLiteral("body"), QStringLiteral("too late")},
                                  {QStringLiteral("delay_ms"), 20000}}));
    auto *request = new HttpRequest();
    QPointer<HttpRequest> guard(request);
    QString signal;
    int status = 0;
    QString data;
    send(request, m_simulator.baseUrl() + QStringLiteral("/probe"), &signal, &status, &data);
    QCOMPARE(signal, QStringLiteral("error"));
    QCOMPARE(status, -1);
    QCOMPARE(data, QString());
    QTRY_VERIFY(!guard);
}

void TestHttpRequest::oversizedReplyIsRefused()
{
    HttpRequest::setMaxBodySize(64 * 1024);
    QVERIFY(m_simulator.addFault({{QStringLiteral("path"), QStringLiteral("/big")},
                                  {QStringLiteral("status"), 200},
                                  {QStringLiteral("body"), QString(256 * 1024, u'x')}}));
    QVERIFY(m_simulator.addFault({{QStringLiteral("path"), QStringLiteral("/small")},
                                  {QStringLiteral("status"), 200},
                                  {QStringLiteral("body"), QString(60 * 1024, u'y')}}));
    QString signal;
    int status = 0;
    QString data;
    send(new HttpRequest(), m_simulator.baseUrl() + QStringLiteral("/big"), &signal, &status, &data);
    QCOMPARE(signal, QStringLiteral("error"));
    QCOMPARE(status, -1);
    QCOMPARE(data, QString());

    send(new HttpRequest(), m_simulator.baseUrl() + QStringLiteral("/small"), &signal, &status, &data);
    QCOMPARE(signal, QStringLiteral("success"));
    QCOMPARE(data.size(), 60 * 1024);
}

void TestHttpRequest::secretsStayOutOfTheLog_data()
{
    QTest::addColumn<QJsonObject>("fault");
    QTest::addColumn<QString>("query");
    QTest::addColumn<QString>("signal");

    // Answers carry API keys and VPN credentials; the marker stands for them.
    const QString body =
        QStringLiteral("{\"authentication\":{\"api_key\":\"MARKER-body-7f3a\",\"expire\":4102444800}}");
    const auto fault = [&body](int status) {
        return QJsonObject{{QStringLiteral("status"), status}, {QStringLiteral("body"), body}};
    };
    const QString key = QStringLiteral("?api_key=SECRET-query-91c2");
    QTest::newRow("success") << fault(200) << key << "success";
    QTest::newRow("refused with a body") << fault(401) << key << "error";
    QTest::newRow("server error") << fault(500) << key << "error";
    QTest::newRow("no answer") << QJsonObject{{QStringLiteral("drop"), true}} << key << "error";
    QTest::newRow("key among other items")
        << fault(200) << QStringLiteral("?src=1&api_key=SECRET-query-91c2&x") << "success";
    QTest::newRow("key that needs encoding")
        << fault(403) << QStringLiteral("?api_key=SECRET-query-91c2%20%2B%C3%A6") << "error";
}

void TestHttpRequest::secretsStayOutOfTheLog()
{
    QFETCH(QJsonObject, fault);
    QFETCH(QString, query);
    QFETCH(QString, signal);
    fault.insert(QStringLiteral("path"), QStringLiteral("/api/v1/remote/access/1"));
    QVERIFY(m_simulator.addFault(fault));

    captureLog(QStringLiteral("all"), collectAllMessages);

    QString gotSignal;
    int status = 0;
    QString data;
    const QString url = m_simulator.baseUrl() + QStringLiteral("/api/v1/remote/access/1") + query;
    send(new HttpRequest(), url, &gotSignal, &status, &data);
    qInstallMessageHandler(nullptr);
    QCOMPARE(gotSignal, signal);
    if (signal == QLatin1String("success"))
        QVERIFY(data.contains(QLatin1String("MARKER-body-7f3a")));

    const QString log = g_messages.join(u'\n');
    // The log is on and says what was asked and how it went ...
    QVERIFY2(g_messages.filter(QStringLiteral("url: ")).size() == 1, qPrintable(log));
    QVERIFY2(log.contains(QLatin1String("/api/v1/remote/access/1?")), qPrintable(log));
    QVERIFY2(log.contains(QLatin1String("api_key=")), qPrintable(log));
    QVERIFY2(log.contains(QLatin1String("status code: ")), qPrintable(log));
    // ... but holds neither the answer nor the key, in any spelling.
    QVERIFY2(!log.contains(QLatin1String("MARKER")), qPrintable(log));
    QVERIFY2(!log.contains(QLatin1String("SECRET")), qPrintable(log));
    QVERIFY2(!log.contains(QLatin1String("91c2")), qPrintable(log));
}

QTEST_GUILESS_MAIN(TestHttpRequest)
#include "tst_httprequest.moc"
