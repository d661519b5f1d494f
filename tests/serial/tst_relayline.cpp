#include <QtTest>

#include "serial/relayline.h"

Q_DECLARE_METATYPE(RelayLine::Kind)

// The relay's output lines as the application reads them. The relay is a program of
// its own: every line that is not exactly of the protocol's form is Unknown.
class TestRelayLine : public QObject
{
    Q_OBJECT

private slots:
    void parse_data();
    void parse();
};

void TestRelayLine::parse_data()
{
    using Kind = RelayLine::Kind;
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<Kind>("kind");
    QTest::addColumn<quint64>("first");
    QTest::addColumn<quint64>("second");
    QTest::addColumn<qint64>("time");
    QTest::addColumn<bool>("flag"); // toNetwork for Tap, tapOn for TapState
    QTest::addColumn<QByteArray>("bytes");

    const QByteArray none;
    QTest::newRow("relaying") << QByteArray("Relaying /run/x/ROZIZER3 <-> 10.8.0.5:4001") << Kind::Relaying << 0ull << 0ull << 0ll << false << none;
    QTest::newRow("counters") << QByteArray("Counters 12 3456") << Kind::Counters << 12ull << 3456ull << 0ll << false << none;
    QTest::newRow("counters with carriage return") << QByteArray("Counters 1 2\r") << Kind::Counters << 1ull << 2ull << 0ll << false << none;
    QTest::newRow("largest counters") << QByteArray("Counters 9999999999999999999 0") << Kind::Counters << 9999999999999999999ull << 0ull << 0ll << false << none;
    QTest::newRow("tap to network") << QByteArray("Tap 1796981867860 > 41540d0a") << Kind::Tap << 0ull << 0ull << 1796981867860ll << true << QByteArray("AT\r\n");
    QTest::newRow("tap from network") << QByteArray("Tap 5 < 4f4b00ff") << Kind::Tap << 0ull << 0ull << 5ll << false << QByteArray("OK\0\xff", 4);
    QTest::newRow("tap of 256 bytes") << "Tap 1 > " + QByteArray(256, 'A').toHex() << Kind::Tap << 0ull << 0ull << 1ll << true << QByteArray(256, 'A');
    QTest::newRow("tap dropped") << QByteArray("TapDropped 4096") << Kind::TapDropped << 4096ull << 0ull << 0ll << false << none;
    QTest::newRow("tap state on") << QByteArray("TapState on") << Kind::TapState << 0ull << 0ull << 0ll << true << none;
    QTest::newRow("tap state off") << QByteArray("TapState off") << Kind::TapState << 0ull << 0ull << 0ll << false << none;
    QTest::newRow("connection closed") << QByteArray("Connection closed") << Kind::ConnectionClosed << 0ull << 0ull << 0ll << false << none;
    QTest::newRow("serial closed") << QByteArray("Serial port closed") << Kind::SerialClosed << 0ull << 0ull << 0ll << false << none;

    const auto unknown = [&](const char *name, const QByteArray &line) {
        QTest::newRow(name) << line << Kind::Unknown << 0ull << 0ull << 0ll << false << none;
    };
    unknown("empty", "");
    unknown("counters, one figure", "Counters 12");
    unknown("counters, three figures", "Counters 1 2 3");
    unknown("counters, negative", "Counters -1 2");
    unknown("counters, sign", "Counters +1 2");
    unknown("counters, two spaces", "Counters 1  2");
    unknown("counters, too long a figure", "Counters 99999999999999999999 1");
    unknown("counters, hex figure", "Counters 0x10 1");
    unknown("tap, odd hex", "Tap 1 > 414");
    unknown("tap, upper-case hex", "Tap 1 > 4F4B");
    unknown("tap, no bytes", "Tap 1 > ");
    unknown("tap, other direction", "Tap 1 = 41");
    unknown("tap, no time", "Tap > 41");
    unknown("tap, time beyond range", "Tap 9999999999999999999 > 41");
    unknown("tap, more than 256 bytes", "Tap 1 > " + QByteArray(257, 'A').toHex());
    unknown("tap, trailing field", "Tap 1 > 41 42");
    unknown("tap state, other word", "TapState maybe");
    unknown("lower-case keyword", "counters 1 2");
    unknown("nul inside", QByteArray("Counters 1\0 2", 13));
    unknown("far too long", QByteArray(100000, 'C'));
}

void TestRelayLine::parse()
{
    QFETCH(QByteArray, line);
    QFETCH(RelayLine::Kind, kind);
    QFETCH(quint64, first);
    QFETCH(quint64, second);
    QFETCH(qint64, time);
    QFETCH(bool, flag);
    QFETCH(QByteArray, bytes);

    const RelayLine parsed = RelayLine::parse(line);
    QCOMPARE(parsed.kind, kind);
    QCOMPARE(parsed.first, first);
    QCOMPARE(parsed.second, second);
    QCOMPARE(parsed.time, time);
    QCOMPARE(parsed.bytes, bytes);
    if (kind == RelayLine::Kind::Tap)
        QCOMPARE(parsed.toNetwork, flag);
    if (kind == RelayLine::Kind::TapState)
        QCOMPARE(parsed.tapOn, flag);
}

QTEST_GUILESS_MAIN(TestRelayLine)
#include "tst_relayline.moc"
