#include <QtTest>

#include "cloud/api.h"
#include "simulatorprocess.h"

class TestApi : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void requestForms_data();
    void requestForms();
    void errorsReachTheErrorSignal_data();
    void errorsReachTheErrorSignal();
    void twoCallsGetTwoAnswers();

private:
    QString signInAs(const QString &username, const QString &password);

    SimulatorProcess m_simulator;
};

namespace {

enum Call { GetApiKey, GetNewApiKey, GetDomains, GetVpnDomainConfig };

void invoke(Api &api, Call call, const QString &first, const QString &second, int domainId)
{
    switch (call) {
    case GetApiKey:
        api.getApiKey(first, second);
        return;
    case GetNewApiKey:
        api.getNewApiKey(first);
        return;
    case GetDomains:
        api.getDomains(first);
        return;
    case GetVpnDomainConfig:
        api.getVpnDomainConfig(first, domainId);
        return;
    }
}

struct Signals
{
    explicit Signals(Api *api, Call call)
    {
        switch (call) {
        case GetApiKey:
            success.reset(new QSignalSpy(api, &Api::onGetApiKeySuccess));
            error.reset(new QSignalSpy(api, &Api::onGetApiKeyError));
            return;
        case GetNewApiKey:
            success.reset(new QSignalSpy(api, &Api::onGetNewApiKeySuccess));
            error.reset(new QSignalSpy(api, &Api::onGetNewApiKeyError));
            return;
        case GetDomains:
            success.reset(new QSignalSpy(api, &Api::onGetDomainsSuccess));
            error.reset(new QSignalSpy(api, &Api::onGetDomainsError));
            return;
        case GetVpnDomainConfig:
            success.reset(new QSignalSpy(api, &Api::onGetVpnDomainConfigSuccess));
            error.reset(new QSignalSpy(api, &Api::onGetVpnDomainConfigError));
            return;
        }
    }
    int count() const { return int(success->size() + error->size()); }

    std::unique_ptr<QSignalSpy> success;
    std::unique_ptr<QSignalSpy> error;
};

const QString KeyPlaceholder = QStringLiteral("<key>");

} // namespace

void TestApi::initTestCase()
{
    QVERIFY2(m_simulator.start(SimulatorProcess::sampleFixture()), qPrintable(m_simulator.errorString()));
    // The cloud URL may come with a trailing slash; paths must not double it.
    qputenv("CORRIVO_CLOUD_URL", (m_simulator.baseUrl() + QStringLiteral("/")).toUtf8());
    qputenv("CORRIVO_CA_FILE", QFile::encodeName(m_simulator.caFile()));
}

void TestApi::init()
{
    QVERIFY(m_simulator.clearFaults());
    QVERIFY(m_simulator.clearRequests());
}

QString TestApi::signInAs(const QString &username, const QString &password)
{
    Api api;
    QSignalSpy spy(&api, &Api::onGetApiKeySuccess);
    api.getApiKey(username, password);
    if (!spy.wait(30000))
        return {};
    const QJsonObject answer = QJsonDocument::fromJson(spy.first().at(1).toString().toUtf8()).object();
    return answer.value(QLatin1String("authentication")).toObject().value(QLatin1String("api_key")).toString();
}

void TestApi::requestForms_data()
{
    QTest::addColumn<int>("call");
    QTest::addColumn<QString>("first");
    QTest::addColumn<QString>("second");
    QTest::addColumn<int>("domainId");
    QTest::addColumn<QString>("target");
    QTest::addColumn<QString>("authorization");
    QTest::addColumn<bool>("tokenSent");
    QTest::addColumn<int>("status");

    QTest::newRow("getApiKey") << int(GetApiKey) << "alice" << "secret" << 0 << "/api/v2/api_key"
                               << "Basic YWxpY2U6c2VjcmV0" << false << 200;
    QTest::newRow("getApiKey with an empty password") << int(GetApiKey) << "alice" << "" << 0 << "/api/v2/api_key"
                                                      << "Basic YWxpY2U6" << false << 401;
    QTest::newRow("getNewApiKey") << int(GetNewApiKey) << KeyPlaceholder << "" << 0 << "/api/v2/api_key" << ""
                                  << true << 200;
    QTest::newRow("getDomains") << int(GetDomains) << KeyPlaceholder << "" << 0 << "/api/v2/domain" << "" << true << 200;
    QTest::newRow("getVpnDomainConfig 42") << int(GetVpnDomainConfig) << KeyPlaceholder << "" << 42
                                           << "/api/v2/vpn/domain/42" << "" << true << 200;
    QTest::newRow("getVpnDomainConfig unknown") << int(GetVpnDomainConfig) << KeyPlaceholder << "" << 4711
                                                << "/api/v2/vpn/domain/4711" << "" << true << 404;
}

void TestApi::requestForms()
{
    QFETCH(int, call);
    QFETCH(QString, first);
    QFETCH(QString, second);
    QFETCH(int, domainId);
    QFETCH(QString, target);
    QFETCH(QString, authorization);
    QFETCH(bool, tokenSent);
    QFETCH(int, status);

    if (first == KeyPlaceholder) {
        first = signInAs(QStringLiteral("alice"), QStringLiteral("secret"));
        QVERIFY(!first.isEmpty());
        QVERIFY(m_simulator.clearRequests());
    }

    Api api;
    Signals spies(&api, Call(call));
    invoke(api, Call(call), first, second, domainId);
    QTRY_COMPARE_WITH_TIMEOUT(spies.count(), 1, 30000);
    QSignalSpy &expected = status == 200 ? *spies.success : *spies.error;
    QCOMPARE(expected.size(), 1);
    QCOMPARE(expected.first().at(0).toInt(), status);
    if (status == 200)
        QVERIFY(!expected.first().at(1).toString().isEmpty());
    else
        QCOMPARE(expected.first().at(1).toString(), QString());

    const QJsonArray requests = m_simulator.requests();
    QCOMPARE(requests.size(), 1);
    const QJsonObject request = requests.first().toObject();
    QCOMPARE(request.value(QLatin1String("method")).toString(), QStringLiteral("GET"));
    QCOMPARE(request.value(QLatin1String("target")).toString(), target);
    QCOMPARE(SimulatorProcess::header(request, QStringLiteral("Host")), m_simulator.hostAndPort());
    QCOMPARE(SimulatorProcess::hasHeader(request, QStringLiteral("Authorization")), !authorization.isEmpty());
    // Credentials are recorded as masks of the values sent.
    QCOMPARE(SimulatorProcess::header(request, QStringLiteral("Authorization")),
             authorization.isEmpty() ? QString() : m_simulator.masked(authorization.toUtf8()));
    QCOMPARE(SimulatorProcess::hasHeader(request, QStringLiteral("x-access-token")), tokenSent);
    if (tokenSent)
        QCOMPARE(SimulatorProcess::header(request, QStringLiteral("x-access-token")), m_simulator.masked(first.toUtf8()));
}

void TestApi::errorsReachTheErrorSignal_data()
{
    QTest::addColumn<int>("call");
    QTest::addColumn<QString>("path");
    QTest::newRow("getApiKey") << int(GetApiKey) << "/api/v2/api_key";
    QTest::newRow("getNewApiKey") << int(GetNewApiKey) << "/api/v2/api_key";
    QTest::newRow("getDomains") << int(GetDomains) << "/api/v2/domain";
    QTest::newRow("getVpnDomainConfig") << int(GetVpnDomainConfig) << "/api/v2/vpn/domain/42";
}

void TestApi::errorsReachTheErrorSignal()
{
    QFETCH(int, call);
    QFETCH(QString, path);
    QVERIFY(m_simulator.addFault({{QStringLiteral("path"), path},
                                  {QStringLiteral("status"), 503},
                                  {QStringLiteral("body"), QStringLiteral("{\"message\":\"down\"}")}}));
    Api api;
    Signals spies(&api, Call(call));
    invoke(api, Call(call), QStringLiteral("alice"), QStringLiteral("secret"), 42);
    QTRY_COMPARE_WITH_TIMEOUT(spies.error->size(), 1, 30000);
    QCOMPARE(spies.success->size(), 0);
    QCOMPARE(spies.error->first().at(0).toInt(), 503);
    QCOMPARE(spies.error->first().at(1).toString(), QString());
}

void TestApi::twoCallsGetTwoAnswers()
{
    const QString key = signInAs(QStringLiteral("alice"), QStringLiteral("secret"));
    QVERIFY(!key.isEmpty());
    QVERIFY(m_simulator.clearRequests());
    // The first answer is held back, so the two arrive in the other order.
    QVERIFY(m_simulator.addFault({{QStringLiteral("path"), QStringLiteral("/api/v2/domain")},
                                  {QStringLiteral("delay_ms"), 700},
                                  {QStringLiteral("times"), 1}}));
    Api api;
    QSignalSpy success(&api, &Api::onGetDomainsSuccess);
    QSignalSpy error(&api, &Api::onGetDomainsError);
    api.getDomains(key);
    // The second call goes out once the simulator holds the first.
    QTRY_COMPARE_WITH_TIMEOUT(m_simulator.requests().size(), 1, 30000);
    api.getDomains(QStringLiteral("not-a-key"));
    QTRY_COMPARE_WITH_TIMEOUT(success.size() + error.size(), 2, 30000);
    QCOMPARE(success.size(), 1);
    QCOMPARE(error.size(), 1);
    QCOMPARE(error.first().at(0).toInt(), 401);
    const QJsonArray domains =
        QJsonDocument::fromJson(success.first().at(1).toString().toUtf8()).object().value(QLatin1String("domains")).toArray();
    QCOMPARE(domains.size(), 2);
}

QTEST_GUILESS_MAIN(TestApi)
#include "tst_api.moc"
