#include <QtTest>

#include <QProcess>

#include "serialtestsupport.h"

using namespace SerialTestSupport;

class TestCom2tcp : public QObject
{
    Q_OBJECT

private slots:
    void bytesWrittenOnAComeBackOnA_data();
    void bytesWrittenOnAComeBackOnA();
    void endsWhenTheConnectionEnds();
    void endsWhenThePairIsRemoved();
    void refusesBadArguments_data();
    void refusesBadArguments();
};

void TestCom2tcp::bytesWrittenOnAComeBackOnA_data()
{
    QTest::addColumn<QString>("portArgument");
    QTest::newRow("device name") << QStringLiteral("//./ROZIZER3");
    QTest::newRow("backslash device name") << QStringLiteral("\\\\.\\ROZIZER3");
}

void TestCom2tcp::bytesWrittenOnAComeBackOnA()
{
    QFETCH(QString, portArgument);
    SerialDirGuard dir;
    EchoServer echo;
    QVERIFY(echo.port() != 0);
    QCOMPARE(installPair(QStringLiteral("COM3"), QStringLiteral("ROZIZER3")), 0);

    QProcess relay;
    relay.start(toolPath(QStringLiteral("com2tcp")),
                {portArgument, QStringLiteral("127.0.0.1"), QString::number(echo.port())});
    QVERIFY(relay.waitForStarted());
    QTRY_COMPARE(echo.connectionCount(), 1);

    PortEnd a(dir.portPath(QStringLiteral("COM3")));
    QVERIFY(a.isOpen());
    const QByteArray data = allByteValues();
    QVERIFY(a.writeAll(data));
    QCOMPARE(a.read(data.size()), data);

    QByteArray block;
    for (int i = 0; i < 256; ++i)
        block += data;
    // Written and read in turns, as a serial program would, so neither way fills up.
    QByteArray back;
    for (qsizetype offset = 0; offset < block.size(); offset += 4096) {
        QVERIFY(a.writeAll(block.mid(offset, 4096)));
        back += a.read(qMin<qsizetype>(4096, block.size() - offset));
    }
    QCOMPARE(back.size(), block.size());
    QVERIFY(back == block);
    QCOMPARE(relay.state(), QProcess::Running);
}

void TestCom2tcp::endsWhenTheConnectionEnds()
{
    SerialDirGuard dir;
    EchoServer echo;
    QCOMPARE(installPair(QStringLiteral("COM3"), QStringLiteral("ROZIZER3")), 0);

    QProcess relay;
    relay.start(toolPath(QStringLiteral("com2tcp")),
                {QStringLiteral("//./ROZIZER3"), QStringLiteral("localhost"), QString::number(echo.port())});
    QVERIFY(relay.waitForStarted());
    QTRY_COMPARE(echo.connectionCount(), 1);

    echo.closeConnections();
    QVERIFY(relay.waitForFinished(10000));
    QCOMPARE(relay.exitCode(), 0);
    QVERIFY(relay.readAllStandardOutput().contains("Connection closed"));

    // The pair is untouched and a new relay can take end B again.
    QVERIFY(runTool(QStringLiteral("setupc"), {QStringLiteral("busynames"), QStringLiteral("ROZIZER3")}) == 0);
    QProcess second;
    startRelay(second, QStringLiteral("ROZIZER3"), echo.port());
    QTRY_COMPARE(echo.connectionCount(), 2);
    PortEnd a(dir.portPath(QStringLiteral("COM3")));
    QVERIFY(a.writeAll("again"));
    QCOMPARE(a.read(5), QByteArray("again"));
}

void TestCom2tcp::endsWhenThePairIsRemoved()
{
    SerialDirGuard dir;
    EchoServer echo;
    QCOMPARE(installPair(QStringLiteral("COM3"), QStringLiteral("ROZIZER3")), 0);

    QProcess relay;
    startRelay(relay, QStringLiteral("ROZIZER3"), echo.port());
    QTRY_COMPARE(echo.connectionCount(), 1);

    QCOMPARE(runTool(QStringLiteral("setupc"), {QStringLiteral("remove"), QStringLiteral("0")}), 0);
    QVERIFY(relay.waitForFinished(10000));
    QVERIFY(relay.readAllStandardOutput().contains("Serial port closed"));
}

void TestCom2tcp::refusesBadArguments_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::newRow("no port number") << QStringList{QStringLiteral("//./ROZIZER3"), QStringLiteral("127.0.0.1")} << 2;
    QTest::newRow("port number 0") << QStringList{QStringLiteral("//./ROZIZER3"), QStringLiteral("127.0.0.1"), QStringLiteral("0")} << 2;
    QTest::newRow("port number too big") << QStringList{QStringLiteral("//./ROZIZER3"), QStringLiteral("127.0.0.1"), QStringLiteral("65536")} << 2;
    QTest::newRow("port number not a number") << QStringList{QStringLiteral("//./ROZIZER3"), QStringLiteral("127.0.0.1"), QStringLiteral("40x")} << 2;
    QTest::newRow("empty port name") << QStringList{QStringLiteral("//./"), QStringLiteral("127.0.0.1"), QStringLiteral("4001")} << 2;
    QTest::newRow("unknown port") << QStringList{QStringLiteral("//./ROZIZER4"), QStringLiteral("127.0.0.1"), QStringLiteral("4001")} << 1;
    QTest::newRow("unknown host") << QStringList{QStringLiteral("//./ROZIZER3"), QStringLiteral("no-such-host.invalid"), QStringLiteral("4001")} << 1;
    QTest::newRow("nobody listens") << QStringList{QStringLiteral("//./ROZIZER3"), QStringLiteral("127.0.0.1"), QStringLiteral("closed")} << 1;
}

void TestCom2tcp::refusesBadArguments()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    SerialDirGuard dir;
    QCOMPARE(installPair(QStringLiteral("COM3"), QStringLiteral("ROZIZER3")), 0);
    if (arguments.last() == QLatin1String("closed")) {
        // A port that was just free: bind and let go.
        EchoServer probe;
        arguments.last() = QString::number(probe.port());
    }
    QCOMPARE(runTool(QStringLiteral("com2tcp"), arguments), exitCode);
}

QTEST_GUILESS_MAIN(TestCom2tcp)
#include "tst_com2tcp.moc"
