#include <QtTest>

#include <QJsonArray>
#include <QTemporaryDir>

#include <sys/stat.h>
#include <unistd.h>

#include "serial/portmonitor.h"

namespace {

void feed(PortMonitor &monitor, const QByteArray &line)
{
    monitor.take(RelayLine::parse(line));
}

QByteArray tapLine(int number)
{
    return "Tap " + QByteArray::number(1000 + number) + (number % 2 ? " < " : " > ") + QByteArray::number(number).toHex();
}

} // namespace

class TestPortMonitor : public QObject
{
    Q_OBJECT

private slots:
    void countersAddUpOverRelayRuns();
    void ringKeepsTheLastRecords_data();
    void ringKeepsTheLastRecords();
    void recordsOnlyWhileTheMonitorIsOn();
    void traceIsOwnerOnlyAndCapped();
    void traceRefusesWhatItDidNotMake_data();
    void traceRefusesWhatItDidNotMake();
};

void TestPortMonitor::countersAddUpOverRelayRuns()
{
    PortMonitor monitor;
    monitor.relayStarted();
    QVERIFY(!monitor.relayUp());
    feed(monitor, "Relaying /x <-> 10.0.0.1:4001");
    QVERIFY(monitor.relayUp());
    feed(monitor, "Counters 10 20");
    feed(monitor, "Counters 15 20");
    // A figure that shrinks within one run is no relay's.
    feed(monitor, "Counters 1 1");
    QCOMPARE(monitor.toNetwork(), 15u);
    QCOMPARE(monitor.fromNetwork(), 20u);
    feed(monitor, "Connection closed");
    QVERIFY(!monitor.relayUp());

    monitor.relayStarted();
    feed(monitor, "Counters 5 7");
    QCOMPARE(monitor.toNetwork(), 20u);
    QCOMPARE(monitor.fromNetwork(), 27u);
    QCOMPARE(monitor.status().value(QStringLiteral("toNetwork")).toInteger(), 20);
    QCOMPARE(monitor.status().value(QStringLiteral("fromNetwork")).toInteger(), 27);
}

void TestPortMonitor::ringKeepsTheLastRecords_data()
{
    QTest::addColumn<int>("fed");
    QTest::addColumn<quint64>("since");
    QTest::addColumn<int>("expectedFirst");
    QTest::addColumn<int>("expectedCount");
    QTest::newRow("few, from the start") << 5 << 0ull << 1 << 5;
    QTest::newRow("few, after the third") << 5 << 3ull << 4 << 2;
    QTest::newRow("none new") << 5 << 5ull << 0 << 0;
    // More than the ring holds: the oldest are gone, one answer holds a bounded part.
    QTest::newRow("more than the ring") << PortMonitor::Capacity + 50 << 0ull << 51 << PortMonitor::MaxRecordsPerAnswer;
    QTest::newRow("more than the ring, near the end") << PortMonitor::Capacity + 50 << quint64(PortMonitor::Capacity + 40) << PortMonitor::Capacity + 41 << 10;
}

void TestPortMonitor::ringKeepsTheLastRecords()
{
    QFETCH(int, fed);
    QFETCH(quint64, since);
    QFETCH(int, expectedFirst);
    QFETCH(int, expectedCount);
    PortMonitor monitor;
    monitor.setMonitor(true);
    for (int i = 1; i <= fed; ++i)
        feed(monitor, tapLine(i));
    QVERIFY(monitor.records().size() <= size_t(PortMonitor::Capacity));

    const QJsonObject answer = monitor.recordsSince(since);
    const QJsonArray records = answer.value(QStringLiteral("records")).toArray();
    QCOMPARE(records.size(), expectedCount);
    if (expectedCount == 0) {
        QCOMPARE(answer.value(QStringLiteral("next")).toInteger(), qint64(since));
        return;
    }
    const QJsonObject first = records.first().toObject();
    QCOMPARE(first.value(QStringLiteral("seq")).toInteger(), expectedFirst);
    QCOMPARE(first.value(QStringLiteral("time")).toInteger(), 1000 + expectedFirst);
    QCOMPARE(first.value(QStringLiteral("dir")).toString(), expectedFirst % 2 ? QStringLiteral("<") : QStringLiteral(">"));
    QCOMPARE(first.value(QStringLiteral("text")).toString(), QString::number(expectedFirst));
    QCOMPARE(answer.value(QStringLiteral("next")).toInteger(),
             records.last().toObject().value(QStringLiteral("seq")).toInteger());
}

void TestPortMonitor::recordsOnlyWhileTheMonitorIsOn()
{
    PortMonitor monitor;
    QVERIFY(!monitor.wantsTap());
    feed(monitor, "Tap 1 > 41");
    QVERIFY(monitor.records().empty());
    monitor.setMonitor(true);
    QVERIFY(monitor.wantsTap());
    feed(monitor, "Tap 2 > 4f4b0d0a");
    feed(monitor, "TapDropped 10");
    QCOMPARE(monitor.records().size(), size_t(1));
    const QJsonObject record = monitor.recordsSince(0).value(QStringLiteral("records")).toArray().first().toObject();
    QCOMPARE(record.value(QStringLiteral("hex")).toString(), QStringLiteral("4f 4b 0d 0a"));
    QCOMPARE(record.value(QStringLiteral("text")).toString(), QStringLiteral("OK.."));
    QCOMPARE(monitor.recordsSince(0).value(QStringLiteral("dropped")).toInteger(), 10);
    monitor.setMonitor(false);
    QVERIFY(monitor.records().empty());
    QVERIFY(!monitor.wantsTap());
}

void TestPortMonitor::traceIsOwnerOnlyAndCapped()
{
    QTemporaryDir state;
    const QString directory = state.filePath(QStringLiteral("traces"));
    PortMonitor monitor;
    QString error;
    QVERIFY2(monitor.setTrace(true, directory, QStringLiteral("COM3"), &error), qPrintable(error));
    QVERIFY(monitor.wantsTap());
    const QString path = directory + QStringLiteral("/COM3.trace");
    QCOMPARE(monitor.tracePath(), path);

    const QByteArray chunk = "Tap 1796981867860 > " + QByteArray(256, 'A').toHex();
    const int lines = int(PortTrace::MaxBytes / 200);
    for (int i = 0; i < lines; ++i)
        feed(monitor, chunk);
    monitor.setTrace(false, directory, QStringLiteral("COM3"), &error);

    QFile trace(path);
    QVERIFY(trace.open(QIODevice::ReadOnly));
    struct stat info{};
    for (const QString &file : QStringList{path, path + QStringLiteral(".1"), directory}) {
        QCOMPARE(::lstat(QFile::encodeName(file).constData(), &info), 0);
        QCOMPARE(info.st_mode & 077, 0u);
        QCOMPARE(info.st_uid, ::geteuid());
    }
    QVERIFY(QFileInfo(path).size() + QFileInfo(path + QStringLiteral(".1")).size() <= PortTrace::MaxBytes);
    QVERIFY(QFileInfo(path + QStringLiteral(".1")).size() > PortTrace::MaxBytes / 4);
    trace.seek(0);
    const QList<QByteArray> fields = trace.readLine().trimmed().split(' ');
    QCOMPARE(fields.size(), 3);
    QCOMPARE(fields[0], QByteArray("2026-12-11T09:37:47.860Z"));
    QCOMPARE(fields[1], QByteArray(">"));
    QCOMPARE(QByteArray::fromHex(fields[2]), QByteArray(256, 'A'));
}

void TestPortMonitor::traceRefusesWhatItDidNotMake_data()
{
    QTest::addColumn<QString>("planted");
    QTest::addColumn<QString>("name");
    QTest::newRow("link as the trace file") << QStringLiteral("file link") << QStringLiteral("COM3");
    QTest::newRow("hard link as the trace file") << QStringLiteral("hard link") << QStringLiteral("COM3");
    QTest::newRow("link as the directory") << QStringLiteral("directory link") << QStringLiteral("COM3");
    QTest::newRow("path as the name") << QString() << QStringLiteral("../COM3");
}

void TestPortMonitor::traceRefusesWhatItDidNotMake()
{
    QFETCH(QString, planted);
    QFETCH(QString, name);
    QTemporaryDir state;
    const QString directory = state.filePath(QStringLiteral("traces"));
    const QString victim = state.filePath(QStringLiteral("victim"));
    QFile victimFile(victim);
    QVERIFY(victimFile.open(QIODevice::WriteOnly));
    victimFile.write("keep");
    victimFile.close();
    if (planted == QLatin1String("directory link")) {
        QVERIFY(QDir().mkpath(state.filePath(QStringLiteral("elsewhere"))));
        QVERIFY(QFile::link(state.filePath(QStringLiteral("elsewhere")), directory));
    } else if (!planted.isEmpty()) {
        QVERIFY(QDir().mkpath(directory));
        const QByteArray target = QFile::encodeName(directory + QStringLiteral("/COM3.trace"));
        if (planted == QLatin1String("file link"))
            QVERIFY(QFile::link(victim, directory + QStringLiteral("/COM3.trace")));
        else
            QCOMPARE(::link(QFile::encodeName(victim).constData(), target.constData()), 0);
    }

    PortMonitor monitor;
    QString error;
    QVERIFY(!monitor.setTrace(true, directory, name, &error));
    QVERIFY(!error.isEmpty());
    QVERIFY(!monitor.traceOn());
    QVERIFY(!monitor.wantsTap());
    feed(monitor, "Tap 1 > 41");
    QVERIFY(victimFile.open(QIODevice::ReadOnly));
    QCOMPARE(victimFile.readAll(), QByteArray("keep"));
    QVERIFY(!QFile::exists(state.filePath(QStringLiteral("elsewhere/COM3.trace"))));
}

QTEST_GUILESS_MAIN(TestPortMonitor)
#include "tst_portmonitor.moc"
