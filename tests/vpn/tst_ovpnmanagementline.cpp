#include <QtTest>

#include "vpn/ovpnmanagementline.h"

using namespace Qt::StringLiterals;

using ovpn::ManagementLine;

Q_DECLARE_METATYPE(ManagementLine::Kind)
Q_DECLARE_METATYPE(ManagementLine::PasswordRequest)

class TestOvpnManagementLine : public QObject
{
    Q_OBJECT

private slots:
    void kind_data();
    void kind();
    void state_data();
    void state();
    void password_data();
    void password();
    void byteCount_data();
    void byteCount();
    void log_data();
    void log();
    void success_data();
    void success();
};

void TestOvpnManagementLine::kind_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<bool>("inLogHistory");
    QTest::addColumn<ManagementLine::Kind>("kind");
    QTest::addColumn<QString>("payload");

    using Kind = ManagementLine::Kind;
    QTest::newRow("greeting") << ">INFO:OpenVPN Management Interface Version 5" << false << Kind::Info
                              << "OpenVPN Management Interface Version 5";
    QTest::newRow("hold") << ">HOLD:Waiting for hold release:0" << false << Kind::Hold << "Waiting for hold release:0";
    QTest::newRow("hold without colon") << ">HOLD" << false << Kind::Hold << "";
    QTest::newRow("fatal") << ">FATAL:Cannot open TUN/TAP dev" << false << Kind::Fatal << "Cannot open TUN/TAP dev";
    QTest::newRow("info message") << ">INFOMSG:WEB_AUTH::x" << false << Kind::InfoMessage << "WEB_AUTH::x";
    QTest::newRow("error reply") << "ERROR: unknown command" << false << Kind::Error << " unknown command";
    QTest::newRow("state without a name") << ">STATE:1700000000" << false << Kind::Other << "1700000000";
    QTest::newRow("byte count of three") << ">BYTECOUNT:1,2,3" << false << Kind::Other << "1,2,3";
    QTest::newRow("unknown notification") << ">UPDOWN:UP" << false << Kind::Other << "UP";
    QTest::newRow("colon first") << ":>HOLD" << false << Kind::Other << "";
    QTest::newRow("history record") << "1700000000,W,a warning" << true << Kind::Log << "1700000000,W,a warning";
    QTest::newRow("history end") << "END" << true << Kind::LogHistoryEnd << "";
    QTest::newRow("notification during history") << ">HOLD:x" << true << Kind::Hold << "x";
    QTest::newRow("END outside history") << "END" << false << Kind::Other << "";
}

void TestOvpnManagementLine::kind()
{
    QFETCH(QString, line);
    QFETCH(bool, inLogHistory);
    QFETCH(ManagementLine::Kind, kind);
    QFETCH(QString, payload);

    const ManagementLine parsed = ManagementLine::parse(line, inLogHistory);
    QCOMPARE(parsed.kind, kind);
    QCOMPARE(parsed.payload, payload);
    QCOMPARE(parsed.line, line);
}

void TestOvpnManagementLine::state_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<QStringList>("fields");  // name, reason, local, remote, port

    QTest::newRow("connected") << ">STATE:1700000005,CONNECTED,SUCCESS,10.8.0.6,192.0.2.1,1194,,"
                               << QStringList{u"CONNECTED"_s, u"SUCCESS"_s, u"10.8.0.6"_s, u"192.0.2.1"_s, u"1194"_s};
    QTest::newRow("reconnecting") << ">STATE:1700000005,RECONNECTING,ping-restart,,,,,"
                                  << QStringList{u"RECONNECTING"_s, u"ping-restart"_s, u""_s, u""_s, u""_s};
    QTest::newRow("name only") << ">STATE:1,WAIT" << QStringList{u"WAIT"_s, u""_s, u""_s, u""_s, u""_s};
}

void TestOvpnManagementLine::state()
{
    QFETCH(QString, line);
    QFETCH(QStringList, fields);

    const ManagementLine parsed = ManagementLine::parse(line, false);
    QCOMPARE(parsed.kind, ManagementLine::Kind::State);
    QCOMPARE((QStringList{parsed.stateName, parsed.reason, parsed.localAddress, parsed.remoteAddress, parsed.remotePort}),
             fields);
}

void TestOvpnManagementLine::password_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<ManagementLine::PasswordRequest>("request");
    QTest::addColumn<QString>("reason");

    using Request = ManagementLine::PasswordRequest;
    QTest::newRow("auth") << ">PASSWORD:Need 'Auth' username/password" << Request::Auth << "";
    QTest::newRow("proxy") << ">PASSWORD:Need 'HTTP Proxy' username/password" << Request::HttpProxy << "";
    QTest::newRow("key passphrase") << ">PASSWORD:Need 'Private Key' password" << Request::OtherSecret << "";
    QTest::newRow("failed with reason") << ">PASSWORD:Verification Failed: 'Auth' ['AUTH_FAILED']"
                                        << Request::VerificationFailed << "AUTH_FAILED";
    QTest::newRow("failed, empty reason") << ">PASSWORD:Verification Failed: 'Auth' ['']"
                                          << Request::VerificationFailed << "";
    QTest::newRow("failed without reason") << ">PASSWORD:Verification Failed: 'Auth'" << Request::VerificationFailed
                                           << "";
    QTest::newRow("failed, reason not closed") << ">PASSWORD:Verification Failed: 'Auth' ['cut"
                                               << Request::VerificationFailed << "cut";
    // The closing "']" overlaps the opening "['": there is no reason text to cut it from.
    QTest::newRow("failed, brackets overlap") << ">PASSWORD:Verification Failed: 'Auth' [']"
                                              << Request::VerificationFailed << "]";
    QTest::newRow("other text") << ">PASSWORD:Auth-Token:abc" << Request::Unknown << "";
}

void TestOvpnManagementLine::password()
{
    QFETCH(QString, line);
    QFETCH(ManagementLine::PasswordRequest, request);
    QFETCH(QString, reason);

    const ManagementLine parsed = ManagementLine::parse(line, false);
    QCOMPARE(parsed.kind, ManagementLine::Kind::Password);
    QCOMPARE(parsed.passwordRequest, request);
    QCOMPARE(parsed.failureReason, reason);
}

void TestOvpnManagementLine::byteCount_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<qint64>("in");
    QTest::addColumn<qint64>("out");

    QTest::newRow("counts") << ">BYTECOUNT:12345,6789" << qint64(12345) << qint64(6789);
    QTest::newRow("beyond 32 bits") << ">BYTECOUNT:5000000000,1" << qint64(5000000000) << qint64(1);
    QTest::newRow("no numbers") << ">BYTECOUNT:x,-" << qint64(0) << qint64(0);
}

void TestOvpnManagementLine::byteCount()
{
    QFETCH(QString, line);
    QFETCH(qint64, in);
    QFETCH(qint64, out);

    const ManagementLine parsed = ManagementLine::parse(line, false);
    QCOMPARE(parsed.kind, ManagementLine::Kind::ByteCount);
    QCOMPARE(parsed.bytesIn, in);
    QCOMPARE(parsed.bytesOut, out);
}

void TestOvpnManagementLine::log_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<bool>("inLogHistory");
    QTest::addColumn<QString>("flags");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("error");
    QTest::addColumn<QString>("opened");
    QTest::addColumn<bool>("closed");

    QTest::newRow("plain") << ">LOG:1700000000,I,OpenVPN 2.6" << false << "I" << "OpenVPN 2.6" << false << "" << false;
    QTest::newRow("text with commas") << ">LOG:1,W,a, b, c" << false << "W" << "a, b, c" << false << "" << false;
    QTest::newRow("fatal flag") << ">LOG:1,F,gone" << false << "F" << "gone" << true << "" << false;
    QTest::newRow("non-fatal flag") << ">LOG:1,N,route" << false << "N" << "route" << true << "" << false;
    QTest::newRow("error text") << ">LOG:1,,ERROR: Linux route add command failed" << false << ""
                                << "ERROR: Linux route add command failed" << true << "" << false;
    QTest::newRow("tunnel opened") << ">LOG:1,,TUN/TAP device tun3 opened" << false << "" << "TUN/TAP device tun3 opened"
                                   << false << "tun3" << false;
    QTest::newRow("tunnel closed") << ">LOG:1,,Closing TUN/TAP interface" << false << ""
                                   << "Closing TUN/TAP interface" << false << "" << true;
    QTest::newRow("one field") << ">LOG:no commas" << false << "" << "no commas" << false << "" << false;
    QTest::newRow("history record") << "1,N,from history" << true << "N" << "from history" << true << "" << false;
}

void TestOvpnManagementLine::log()
{
    QFETCH(QString, line);
    QFETCH(bool, inLogHistory);
    QFETCH(QString, flags);
    QFETCH(QString, text);
    QFETCH(bool, error);
    QFETCH(QString, opened);
    QFETCH(bool, closed);

    const ManagementLine parsed = ManagementLine::parse(line, inLogHistory);
    QCOMPARE(parsed.kind, ManagementLine::Kind::Log);
    QCOMPARE(parsed.logFlags, flags);
    QCOMPARE(parsed.logText, text);
    QCOMPARE(parsed.logError, error);
    QCOMPARE(parsed.tunnelOpened, opened);
    QCOMPARE(parsed.tunnelClosed, closed);
}

void TestOvpnManagementLine::success_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<bool>("replay");
    QTest::addColumn<bool>("entered");

    QTest::newRow("log on") << "SUCCESS: real-time log notification set to ON" << true << false;
    QTest::newRow("user name") << "SUCCESS: 'Auth' username entered, but not yet verified" << false << true;
    QTest::newRow("other") << "SUCCESS: hold release succeeded" << false << false;
}

void TestOvpnManagementLine::success()
{
    QFETCH(QString, line);
    QFETCH(bool, replay);
    QFETCH(bool, entered);

    const ManagementLine parsed = ManagementLine::parse(line, false);
    QCOMPARE(parsed.kind, ManagementLine::Kind::Success);
    QCOMPARE(parsed.logReplayStarts, replay);
    QCOMPARE(parsed.credentialEntered, entered);
}

QTEST_APPLESS_MAIN(TestOvpnManagementLine)
#include "tst_ovpnmanagementline.moc"
