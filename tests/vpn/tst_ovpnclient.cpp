#include <QtTest>

#include <QThread>

#include <memory>

#include "labserver.h"
#include "recordingclient.h"
#include "vpn/ovpnclient.h"
#include "vpn/ovpnprofilemerge.h"

namespace {

// One connection of a RecordingClient to the lab on a thread of its own; stopped and
// joined on destruction.
struct LabConnection
{
    ~LabConnection()
    {
        client.stop();
        if (thread)
            thread->wait(20000);
    }

    // Evaluates the lab's profile with the lab's credentials and starts connect().
    QString start(const LabServer &lab)
    {
        const ovpn::ProfileMerge merge(lab.profilePath().toStdString(), "ovpn", std::string(),
                                       ovpn::ProfileMerge::FOLLOW_FULL, 512, 262144);
        if (merge.status() != ovpn::ProfileMerge::MERGE_SUCCESS)
            return QString::fromStdString(merge.error());
        ovpn::Config config;
        config.content = merge.profile_content();
        config.dco = false;
        const ovpn::EvalConfig eval = client.eval_config(config);
        if (eval.error)
            return QString::fromStdString(eval.message);
        ovpn::ProvideCreds creds;
        creds.username = lab.username().toStdString();
        creds.password = lab.password().toStdString();
        const ovpn::Status status = client.provide_creds(creds);
        if (status.error)
            return QString::fromStdString(status.message);
        thread.reset(QThread::create([this] { result = client.connect(); }));
        thread->start();
        return QString();
    }

    RecordingClient client;
    ovpn::Status result;
    std::unique_ptr<QThread> thread;
};

} // namespace

class TestOvpnClient : public QObject
{
    Q_OBJECT

private slots:
    void credentialsMustBePrintableSingleLines_data();
    void credentialsMustBePrintableSingleLines();
    void connectsOnce();
    void passwordWithQuotesAndBackslashes();
};

void TestOvpnClient::credentialsMustBePrintableSingleLines_data()
{
    QTest::addColumn<QByteArray>("username");
    QTest::addColumn<QByteArray>("password");
    QTest::addColumn<QString>("refusal");
    const QString lines = QStringLiteral("credentials must be single lines of fewer than 490 bytes");
    const QString controls = QStringLiteral("credentials must not contain control characters");
    QTest::newRow("plain") << QByteArray("alice") << QByteArray("pa ss\"w\\ord") << QString();
    QTest::newRow("non-ASCII") << QByteArray("j\xc3\xb6rg") << QByteArray("p\xc3\xa4ss \xe2\x82\xac~") << QString();
    QTest::newRow("line feed") << QByteArray("alice") << QByteArray("pass\nhold release") << lines;
    QTest::newRow("carriage return") << QByteArray("ali\rce") << QByteArray("pass") << lines;
    QTest::newRow("too long") << QByteArray("alice") << QByteArray(600, 'x') << lines;
    QTest::newRow("tab") << QByteArray("alice") << QByteArray("pa\tss") << controls;
    QTest::newRow("start of heading") << QByteArray("al\x01ice") << QByteArray("pass") << controls;
    QTest::newRow("delete") << QByteArray("alice") << QByteArray("pass\x7f") << controls;
    QTest::newRow("escape") << QByteArray("alice") << QByteArray("\x1b[2Jpass") << controls;
    QTest::newRow("nul") << QByteArray("alice") << QByteArray("pa\0ss", 5) << controls;
    QTest::newRow("unit separator") << QByteArray("alice\x1f") << QByteArray("pass") << controls;
}

void TestOvpnClient::credentialsMustBePrintableSingleLines()
{
    QFETCH(QByteArray, username);
    QFETCH(QByteArray, password);
    QFETCH(QString, refusal);
    RecordingClient client;
    ovpn::ProvideCreds creds;
    creds.username = username.toStdString();
    creds.password = password.toStdString();
    const ovpn::Status status = client.provide_creds(creds);
    QCOMPARE(status.error, !refusal.isEmpty());
    QCOMPARE(QString::fromStdString(status.message), refusal);
    if (status.error)
        QCOMPARE(QString::fromStdString(status.status), QStringLiteral("CREDS_ERROR"));

    // The proxy's credentials go the same way.
    RecordingClient proxyClient;
    ovpn::ProvideCreds proxyCreds;
    proxyCreds.username = "alice";
    proxyCreds.password = "pass";
    proxyCreds.http_proxy_user = username.toStdString();
    proxyCreds.http_proxy_pass = password.toStdString();
    QCOMPARE(QString::fromStdString(proxyClient.provide_creds(proxyCreds).message), refusal);
}

void TestOvpnClient::connectsOnce()
{
    // Without an evaluated profile there is nothing to connect, and one client
    // serves one connect().
    RecordingClient client;
    QVERIFY(client.connect().error);
    const ovpn::Status again = client.connect();
    QVERIFY(again.error);
    QCOMPARE(QString::fromStdString(again.message), QStringLiteral("this client has connected once already"));
    QCOMPARE(client.transport_stats().lastPacketReceived, -1);
}

void TestOvpnClient::passwordWithQuotesAndBackslashes()
{
    if (!LabServer::unavailableReason().isEmpty())
        QSKIP("the VPN lab needs root (network namespaces, tun devices)");
    // The management command quotes the value; the server must see it unchanged.
    const QString password = QStringLiteral("a b\"c\\d'$e;#f\\");
    LabServer lab;
    lab.setPassword(password);
    QVERIFY2(lab.up(), qPrintable(lab.error()));
    QCOMPARE(lab.password(), password);

    LabConnection connection;
    const QString error = connection.start(lab);
    QVERIFY2(error.isEmpty(), qPrintable(error));
    RecordingClient &client = connection.client;
    QTRY_VERIFY_WITH_TIMEOUT(client.count(QStringLiteral("CONNECTED")) == 1
                                 || client.count(QStringLiteral("DISCONNECTED")) == 1,
                             30000);
    QCOMPARE(client.count(QStringLiteral("AUTH_FAILED")), 0);
    QCOMPARE(client.count(QStringLiteral("CONNECTED")), 1);
}

QTEST_GUILESS_MAIN(TestOvpnClient)
#include "tst_ovpnclient.moc"
