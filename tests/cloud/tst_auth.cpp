#include <QtTest>

#include <QDateTime>
#include <QTimer>

#include "cloud/auth.h"
#include "model/hlvsettings.h"
#include "eventsentinel.h"
#include "simulatorprocess.h"
#include "testhome.h"

namespace {

const QString ApiKeyPath = QStringLiteral("/api/v2/api_key");

QVariant stored(const QString &key, const QVariant &defaultValue = QVariant())
{
    HlvSettings settings;
    return settings.value(key, defaultValue);
}

void store(const QString &key, const QVariant &value)
{
    HlvSettings settings;
    settings.setValue(key, value);
}

QJsonObject fault(const QJsonObject &changes)
{
    QJsonObject rule = changes;
    rule.insert(QStringLiteral("path"), ApiKeyPath);
    return rule;
}

// The timer is the only thing that drives renewal; firing it stands for a tick.
void tick(Auth &auth)
{
    QVERIFY(QMetaObject::invokeMethod(auth.timer, "timeout"));
}

} // namespace

class TestAuth : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void automaticSignIn_data();
    void automaticSignIn();
    void loginStoresCredentials();
    void signInFailures_data();
    void signInFailures();
    void expiryRange_data();
    void expiryRange();
    void renewalBeforeExpiry();
    void failedRenewalSignsOutSilently();
    void previousUsersEntries_data();
    void previousUsersEntries();
    void logoutKeepsLastUsername();

private:
    void signIn(Auth &auth, const QString &username, const QString &password);
    void waitForRenewalPoint(const Auth &auth);

    SimulatorProcess m_simulator;
};

void TestAuth::initTestCase()
{
    TestHome::setUpIdentity();
    QVERIFY2(m_simulator.start(SimulatorProcess::sampleFixture()), qPrintable(m_simulator.errorString()));
    m_simulator.exportEnvironment();
}

void TestAuth::init()
{
    TestHome::wipe();
    QVERIFY(m_simulator.clearFaults());
    QVERIFY(m_simulator.clearRequests());
}

void TestAuth::signIn(Auth &auth, const QString &username, const QString &password)
{
    QSignalSpy success(&auth, &Auth::onGetApiKeySuccess);
    auth.login(username, password);
    QVERIFY(auth.isTryLogin());
    QTRY_COMPARE_WITH_TIMEOUT(success.size(), 1, 30000);
    QVERIFY(auth.isAuthenticated());
}

void TestAuth::waitForRenewalPoint(const Auth &auth)
{
    // Not an assertion on speed: the key was made short-lived so this wait is short.
    QTRY_VERIFY_WITH_TIMEOUT(QDateTime::currentSecsSinceEpoch() >= qint64(auth.expire) - 30, 20000);
}

void TestAuth::automaticSignIn_data()
{
    QTest::addColumn<QString>("username");
    QTest::addColumn<QString>("password");
    QTest::addColumn<bool>("signsIn");
    QTest::newRow("both stored") << "alice" << "secret" << true;
    QTest::newRow("user name only") << "alice" << "" << false;
    QTest::newRow("password only") << "" << "secret" << false;
    QTest::newRow("nothing stored") << "" << "" << false;
}

void TestAuth::automaticSignIn()
{
    QFETCH(QString, username);
    QFETCH(QString, password);
    QFETCH(bool, signsIn);
    store(QStringLiteral("auth/username"), username);
    store(QStringLiteral("auth/password"), password);

    Auth auth;
    QSignalSpy loginSuccess(&auth, &Auth::onLoginSuccess);
    QCOMPARE(auth.isTryLogin(), signsIn);
    QCOMPARE(auth.property("username").toString(), username);
    if (signsIn) {
        QTRY_COMPARE_WITH_TIMEOUT(loginSuccess.size(), 1, 30000);
        QVERIFY(auth.isAuthenticated());
        QVERIFY(!auth.isTryLogin());
    } else {
        QVERIFY(deliverPostedEvents(&auth));
        QVERIFY(!auth.isTryLogin());
        QCOMPARE(loginSuccess.size(), 0);
    }
    const QJsonArray requests = m_simulator.requests();
    QCOMPARE(requests.size(), signsIn ? 1 : 0);
    if (signsIn)
        QCOMPARE(SimulatorProcess::header(requests.first().toObject(), QStringLiteral("Authorization")),
                 m_simulator.masked("Basic YWxpY2U6c2VjcmV0"));
}

void TestAuth::loginStoresCredentials()
{
    Auth auth;
    QStringList order;
    connect(&auth, &Auth::usernameChanged, this, [&] { order << QStringLiteral("usernameChanged"); });
    connect(&auth, &Auth::onLoginSuccess, this, [&] { order << QStringLiteral("onLoginSuccess"); });
    connect(&auth, &Auth::onGetApiKeySuccess, this, [&] { order << QStringLiteral("onGetApiKeySuccess"); });

    signIn(auth, QStringLiteral("alice"), QStringLiteral("secret"));
    QCOMPARE(order, (QStringList{QStringLiteral("usernameChanged"), QStringLiteral("onLoginSuccess"),
                                 QStringLiteral("onGetApiKeySuccess")}));
    QCOMPARE(auth.apiKey.size(), 32);
    QCOMPARE(auth.type, 1);
    QVERIFY(auth.expire > QDateTime::currentSecsSinceEpoch());
    QVERIFY(auth.timer->isActive());
    QCOMPARE(auth.timer->interval(), 30000);
    QCOMPARE(auth.property("username").toString(), QStringLiteral("alice"));

    QCOMPARE(stored(QStringLiteral("auth/username")).toString(), QStringLiteral("alice"));
    QCOMPARE(stored(QStringLiteral("auth/password")).toString(), QStringLiteral("secret"));
    QCOMPARE(stored(QStringLiteral("auth/last_username")).toString(), QStringLiteral("alice"));
    // The key itself never reaches the settings file.
    HlvSettings settings;
    for (const QString &key : settings.allKeys())
        QVERIFY2(settings.value(key).toString() != auth.apiKey, qPrintable(key));
}

void TestAuth::signInFailures_data()
{
    QTest::addColumn<QString>("password");
    QTest::addColumn<QJsonObject>("rule");

    const auto body = [](const QString &text) {
        return QJsonObject{{QStringLiteral("status"), 200}, {QStringLiteral("body"), text}};
    };
    QTest::newRow("wrong password") << "wrong" << QJsonObject();
    QTest::newRow("status 201 with a valid key") << "secret" << QJsonObject{{QStringLiteral("status"), 201}};
    QTest::newRow("key already expired") << "secret" << QJsonObject{{QStringLiteral("key_expires_in"), -5}};
    QTest::newRow("key expiring this second") << "secret" << QJsonObject{{QStringLiteral("key_expires_in"), 0}};
    QTest::newRow("not JSON") << "secret" << body(QStringLiteral("<html>maintenance</html>"));
    QTest::newRow("truncated JSON") << "secret" << QJsonObject{{QStringLiteral("truncate"), true}};
    QTest::newRow("no authentication member")
        << "secret" << body(QStringLiteral("{\"api_key\":\"k\",\"expire\":2000000000,\"type\":1}"));
    QTest::newRow("expire as text")
        << "secret" << body(QStringLiteral("{\"authentication\":{\"api_key\":\"k\",\"expire\":\"2000000000\",\"type\":1}}"));
    QTest::newRow("no answer") << "secret" << QJsonObject{{QStringLiteral("drop"), true}};
    QTest::newRow("server error") << "secret" << QJsonObject{{QStringLiteral("status"), 500}};
}

void TestAuth::signInFailures()
{
    QFETCH(QString, password);
    QFETCH(QJsonObject, rule);
    if (!rule.isEmpty())
        QVERIFY(m_simulator.addFault(fault(rule)));

    Auth auth;
    // What was stored before stays as it was.
    store(QStringLiteral("auth/username"), QStringLiteral("kept"));
    store(QStringLiteral("auth/password"), QStringLiteral("kept too"));

    QSignalSpy loginError(&auth, &Auth::onLoginError);
    QSignalSpy loginSuccess(&auth, &Auth::onLoginSuccess);
    QSignalSpy keySuccess(&auth, &Auth::onGetApiKeySuccess);
    auth.login(QStringLiteral("alice"), password);
    QVERIFY(auth.isTryLogin());
    QTRY_COMPARE_WITH_TIMEOUT(loginError.size(), 1, 30000);
    QCOMPARE(loginSuccess.size(), 0);
    QCOMPARE(keySuccess.size(), 0);
    QVERIFY(!auth.isAuthenticated());
    QVERIFY(!auth.isTryLogin());
    QCOMPARE(auth.apiKey, QString());
    QVERIFY(!auth.timer->isActive());
    QCOMPARE(stored(QStringLiteral("auth/username")).toString(), QStringLiteral("kept"));
    QCOMPARE(stored(QStringLiteral("auth/password")).toString(), QStringLiteral("kept too"));
}

void TestAuth::expiryRange_data()
{
    QTest::addColumn<QString>("expireText");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<qint64>("expire");

    QTest::newRow("2^31-1") << "2147483647" << true << Q_INT64_C(2147483647);
    QTest::newRow("2^31") << "2147483648" << true << Q_INT64_C(2147483648);
    QTest::newRow("2^31+86400") << "2147570048" << true << Q_INT64_C(2147570048);
    QTest::newRow("year 2100") << "4102444800" << true << Q_INT64_C(4102444800);
    // A cloud that answers in milliseconds: a very distant expiry, not a refusal.
    QTest::newRow("milliseconds") << "1767225600000" << true << Q_INT64_C(1767225600000);
    QTest::newRow("negative") << "-1" << false << Q_INT64_C(0);
    QTest::newRow("large negative") << "-4102444800" << false << Q_INT64_C(0);
    QTest::newRow("zero") << "0" << false << Q_INT64_C(0);
    QTest::newRow("fraction") << "4102444800.5" << false << Q_INT64_C(0);
    QTest::newRow("beyond 64 bits") << "1e30" << false << Q_INT64_C(0);
    QTest::newRow("number as text") << "\"4102444800\"" << false << Q_INT64_C(0);
    QTest::newRow("boolean") << "true" << false << Q_INT64_C(0);
    QTest::newRow("null") << "null" << false << Q_INT64_C(0);
}

void TestAuth::expiryRange()
{
    QFETCH(QString, expireText);
    QFETCH(bool, accepted);
    QFETCH(qint64, expire);
    const QString body =
        QStringLiteral("{\"authentication\":{\"api_key\":\"k\",\"expire\":%1,\"type\":1}}").arg(expireText);
    QVERIFY(m_simulator.addFault(fault({{QStringLiteral("status"), 200}, {QStringLiteral("body"), body}})));

    Auth auth;
    QSignalSpy loginError(&auth, &Auth::onLoginError);
    QSignalSpy loginSuccess(&auth, &Auth::onLoginSuccess);
    auth.login(QStringLiteral("alice"), QStringLiteral("secret"));
    QTRY_COMPARE_WITH_TIMEOUT(loginSuccess.size() + loginError.size(), 1, 30000);
    QCOMPARE(loginSuccess.size(), accepted ? 1 : 0);
    QCOMPARE(auth.isAuthenticated(), accepted);
    QCOMPARE(auth.apiKey, accepted ? QStringLiteral("k") : QString());
    QCOMPARE(qint64(auth.expire), expire);
    QCOMPARE(auth.timer->isActive(), accepted);
    if (!accepted)
        return;

    // So far off that a tick asks for no renewal.
    QVERIFY(m_simulator.clearRequests());
    tick(auth);
    QVERIFY(auth.timer->isActive());
    QVERIFY(auth.isAuthenticated());
    QCOMPARE(m_simulator.requests().size(), 0);
}

void TestAuth::renewalBeforeExpiry()
{
    // 32 s: the first tick is still before the renewal point, a tick two seconds
    // later is at or after it.
    QVERIFY(m_simulator.addFault(fault({{QStringLiteral("key_expires_in"), 32}, {QStringLiteral("times"), 1}})));
    Auth auth;
    signIn(auth, QStringLiteral("alice"), QStringLiteral("secret"));
    const QString firstKey = auth.apiKey;
    QVERIFY(m_simulator.clearRequests());

    QSignalSpy loginSuccess(&auth, &Auth::onLoginSuccess);
    QSignalSpy keySuccess(&auth, &Auth::onGetApiKeySuccess);
    QSignalSpy loginError(&auth, &Auth::onLoginError);
    QSignalSpy logoutSpy(&auth, &Auth::onLogout);

    // Too early: nothing goes out. The renewal below is the sentinel: exactly one
    // request may have reached the cloud by its end.
    tick(auth);
    QVERIFY(auth.timer->isActive());

    waitForRenewalPoint(auth);
    // A renewal writes nothing: this stays.
    store(QStringLiteral("auth/password"), QStringLiteral("sentinel"));
    tick(auth);
    QVERIFY(!auth.timer->isActive());
    QTRY_VERIFY_WITH_TIMEOUT(auth.apiKey != firstKey, 30000);

    const QJsonArray requests = m_simulator.requests();
    QCOMPARE(requests.size(), 1);
    const QJsonObject request = requests.first().toObject();
    QCOMPARE(request.value(QLatin1String("target")).toString(), ApiKeyPath);
    QCOMPARE(SimulatorProcess::header(request, QStringLiteral("x-access-token")), m_simulator.masked(firstKey.toUtf8()));
    QVERIFY(!SimulatorProcess::hasHeader(request, QStringLiteral("Authorization")));

    QVERIFY(auth.isAuthenticated());
    QCOMPARE(auth.apiKey.size(), 32);
    QVERIFY(auth.expire > QDateTime::currentSecsSinceEpoch() + 60);
    QVERIFY(auth.timer->isActive());
    QCOMPARE(loginSuccess.size() + keySuccess.size() + loginError.size() + logoutSpy.size(), 0);
    QCOMPARE(stored(QStringLiteral("auth/password")).toString(), QStringLiteral("sentinel"));
}

void TestAuth::failedRenewalSignsOutSilently()
{
    QVERIFY(m_simulator.addFault(fault({{QStringLiteral("key_expires_in"), 31}, {QStringLiteral("times"), 1}})));
    Auth auth;
    signIn(auth, QStringLiteral("alice"), QStringLiteral("secret"));
    waitForRenewalPoint(auth);
    QVERIFY(m_simulator.addFault(fault({{QStringLiteral("status"), 500}})));

    QSignalSpy loginError(&auth, &Auth::onLoginError);
    QSignalSpy logoutSpy(&auth, &Auth::onLogout);
    tick(auth);
    QTRY_VERIFY_WITH_TIMEOUT(!auth.isAuthenticated(), 30000);
    QCOMPARE(auth.apiKey, QString());
    QVERIFY(!auth.timer->isActive());
    QCOMPARE(loginError.size() + logoutSpy.size(), 0);
    QCOMPARE(stored(QStringLiteral("auth/password")).toString(), QStringLiteral("secret"));
}

void TestAuth::previousUsersEntries_data()
{
    QTest::addColumn<QString>("lastUsername");
    QTest::addColumn<QString>("username");
    QTest::addColumn<QString>("password");
    QTest::addColumn<bool>("reset");
    QTest::newRow("another user") << "alice" << "bob" << "hunter2" << true;
    QTest::newRow("the same user") << "alice" << "alice" << "secret" << false;
    QTest::newRow("first sign-in") << "" << "alice" << "secret" << true;
}

void TestAuth::previousUsersEntries()
{
    QFETCH(QString, lastUsername);
    QFETCH(QString, username);
    QFETCH(QString, password);
    QFETCH(bool, reset);

    const QVariantList domains{QVariantMap{{QStringLiteral("id"), 42}, {QStringLiteral("name"), QStringLiteral("Usine")}}};
    const QVariantList ports{QVariantMap{{QStringLiteral("type"), 1}, {QStringLiteral("deviceId"), 7}}};
    store(QStringLiteral("domains"), domains);
    store(QStringLiteral("last_domain_id_opened"), 42);
    store(QStringLiteral("favourite_devices"), QVariantList{7, 9});
    store(QStringLiteral("recent_devices"), QVariantList{9});
    store(QStringLiteral("virtual_serial_ports"), ports);
    store(QStringLiteral("auth/last_username"), lastUsername);

    Auth auth;
    // What the receivers of onLoginSuccess() find when they open the settings.
    QVariantList domainsSeen{QStringLiteral("unset")};
    int lastDomainSeen = 0;
    QVariantList portsSeen{QStringLiteral("unset")};
    connect(&auth, &Auth::onLoginSuccess, this, [&] {
        HlvSettings settings;
        domainsSeen = settings.value(QStringLiteral("domains")).toList();
        lastDomainSeen = settings.getLastDomainIdOpened();
        portsSeen = settings.value(QStringLiteral("virtual_serial_ports")).toList();
    });
    signIn(auth, username, password);

    QCOMPARE(domainsSeen, reset ? QVariantList() : domains);
    QCOMPARE(lastDomainSeen, reset ? -1 : 42);
    QCOMPARE(portsSeen, reset ? QVariantList() : ports);
    QCOMPARE(stored(QStringLiteral("domains")).toList(), reset ? QVariantList() : domains);
    QCOMPARE(stored(QStringLiteral("last_domain_id_opened")).toInt(), reset ? -1 : 42);
    HlvSettings settings;
    const QList<int> favourites{7, 9};
    const QList<int> recents{9};
    QCOMPARE(settings.favouriteDeviceIds(), reset ? QList<int>() : favourites);
    QCOMPARE(settings.recentDeviceIds(), reset ? QList<int>() : recents);
    QCOMPARE(stored(QStringLiteral("auth/last_username")).toString(), username);
}

void TestAuth::logoutKeepsLastUsername()
{
    Auth auth;
    signIn(auth, QStringLiteral("alice"), QStringLiteral("secret"));

    QStringList order;
    connect(&auth, &Auth::usernameChanged, this, [&] { order << QStringLiteral("usernameChanged"); });
    connect(&auth, &Auth::onLogout, this, [&] { order << QStringLiteral("onLogout"); });
    auth.logout();

    QCOMPARE(order, (QStringList{QStringLiteral("usernameChanged"), QStringLiteral("onLogout")}));
    QVERIFY(!auth.isAuthenticated());
    QVERIFY(!auth.isTryLogin());
    QCOMPARE(auth.apiKey, QString());
    QCOMPARE(auth.property("username").toString(), QString());
    QCOMPARE(auth.type, -1);
    QCOMPARE(auth.expire, 0);
    QVERIFY(!auth.timer->isActive());
    QCOMPARE(stored(QStringLiteral("auth/username"), QStringLiteral("unset")).toString(), QString());
    QCOMPARE(stored(QStringLiteral("auth/password"), QStringLiteral("unset")).toString(), QString());
    QCOMPARE(stored(QStringLiteral("auth/last_username")).toString(), QStringLiteral("alice"));

    // A new session starts nothing by itself after a logout.
    Auth next;
    QVERIFY(!next.isTryLogin());
}

QTEST_GUILESS_MAIN(TestAuth)
#include "tst_auth.moc"
