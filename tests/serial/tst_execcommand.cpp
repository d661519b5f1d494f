#include <QtTest>

#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>

#include "serial/execcommand.h"
#include "serialtestsupport.h"

namespace {

const QString Shell = QStringLiteral("/bin/sh");

} // namespace

class TestExecCommand : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanupTestCase();
    void secondStartWhileRunningIsRefused();
    void outputIsGatheredInChunksInOrder();
    void newStartEmptiesOutput();
    void lineModeSendsWholeLines_data();
    void lineModeSendsWholeLines();
    void writeInputReachesTheProgram();
    void argumentsReachTheProgramUnchanged_data();
    void argumentsReachTheProgramUnchanged();
    void exitCodeAndFinished();
    void runsInTheApplicationDirectory();
    void missingProgram();
    void killOnIdleRunnerDoesNothing();
    void killReturnsAfterTheChildEnded();
    void startDetachedLeavesTheRunnerRefusingStarts();

private:
    SerialTestSupport::LogCollector m_log;
};

void TestExecCommand::initTestCase()
{
    m_log.start(QStringLiteral("exec_command"));
}

void TestExecCommand::cleanupTestCase()
{
    m_log.stop();
}

void TestExecCommand::init()
{
    m_log.clear();
}

void TestExecCommand::secondStartWhileRunningIsRefused()
{
    ExecCommand runner;
    runner.setCommand(QStringLiteral("/bin/sleep"));
    runner.setArguments({QStringLiteral("30")});
    QVERIFY(runner.start());
    QVERIFY(runner.waitForStarted());

    QVERIFY(!runner.start());
    QVERIFY(m_log.contains("start", QStringLiteral("/bin/sleep already running")));
    QVERIFY(runner.isRunning());

    runner.kill();
    QVERIFY(!runner.isRunning());
}

void TestExecCommand::outputIsGatheredInChunksInOrder()
{
    ExecCommand runner;
    runner.setCommand(Shell);
    runner.setArguments({QStringLiteral("-c"),
                         QStringLiteral("printf one; sleep 0.3; printf two; sleep 0.3; printf 'thr\\303\\251e'")});
    QVERIFY(runner.start());
    QVERIFY(runner.waitForStarted());
    QVERIFY(runner.waitForFinished());
    QCOMPARE(runner.output(), QStringLiteral("onetwothr\u00e9e"));

    // Each chunk is logged as it arrives, after the line naming the program.
    QStringList chunks;
    for (int i = 0; i + 1 < m_log.lines().size(); ++i) {
        if (m_log.lines().at(i) == QLatin1String("onReadyReadStandardOutput(): \"/bin/sh\""))
            chunks.append(m_log.lines().at(i + 1));
    }
    QVERIFY2(chunks.size() >= 3, qPrintable(m_log.lines().join(QLatin1Char('\n'))));
    QCOMPARE(chunks.first(), QStringLiteral("onReadyReadStandardOutput(): \"one\""));
}

void TestExecCommand::lineModeSendsWholeLines_data()
{
    QTest::addColumn<QString>("script");
    QTest::addColumn<QList<QByteArray>>("lines");
    QTest::newRow("lines in one piece") << QStringLiteral("printf 'a\\nbb\\n'") << QList<QByteArray>{"a", "bb"};
    QTest::newRow("a line in pieces") << QStringLiteral("printf 'ab'; sleep 0.2; printf 'cdef\\nx'; sleep 0.2; printf 'y\\n'")
                                      << QList<QByteArray>{"abcdef", "xy"};
    // Longer than allowed (8 here): dropped whole, whatever pieces it came in.
    QTest::newRow("too long a line") << QStringLiteral("printf '123456789\\nok\\n'") << QList<QByteArray>{"ok"};
    QTest::newRow("too long in pieces") << QStringLiteral("printf '12345'; sleep 0.2; printf '6789'; sleep 0.2; printf 'abc\\nok\\n'")
                                        << QList<QByteArray>{"ok"};
    QTest::newRow("no line break at the end") << QStringLiteral("printf 'ok\\nrest'") << QList<QByteArray>{"ok"};
}

void TestExecCommand::lineModeSendsWholeLines()
{
    QFETCH(QString, script);
    QFETCH(QList<QByteArray>, lines);
    ExecCommand runner;
    runner.setCommand(Shell);
    runner.setArguments({QStringLiteral("-c"), script});
    runner.setLineMode(8);
    QList<QByteArray> received;
    connect(&runner, &ExecCommand::outputLine, this, [&received](const QByteArray &line) { received.append(line); });
    QVERIFY(runner.start());
    QVERIFY(runner.waitForFinished());
    QCOMPARE(received, lines);
    QCOMPARE(runner.output(), QString());
}

void TestExecCommand::writeInputReachesTheProgram()
{
    ExecCommand runner;
    QVERIFY(!runner.writeInput("nothing runs\n"));
    runner.setCommand(Shell);
    runner.setArguments({QStringLiteral("-c"), QStringLiteral("read line; echo \"got $line\"")});
    runner.setLineMode(64);
    QList<QByteArray> received;
    connect(&runner, &ExecCommand::outputLine, this, [&received](const QByteArray &line) { received.append(line); });
    QVERIFY(runner.start());
    QVERIFY(runner.writeInput("tap on\n"));
    QVERIFY(runner.waitForFinished());
    QCOMPARE(received, QList<QByteArray>{"got tap on"});
}

void TestExecCommand::newStartEmptiesOutput()
{
    ExecCommand runner;
    runner.setCommand(Shell);
    runner.setArguments({QStringLiteral("-c"), QStringLiteral("printf first")});
    QVERIFY(runner.start());
    QVERIFY(runner.waitForFinished());
    QCOMPARE(runner.output(), QStringLiteral("first"));

    runner.setArguments({QStringLiteral("-c"), QStringLiteral("sleep 30")});
    QVERIFY(runner.start());
    QCOMPARE(runner.output(), QString());
    runner.kill();
}

void TestExecCommand::argumentsReachTheProgramUnchanged_data()
{
    QTest::addColumn<QString>("argument");
    QTest::newRow("spaces") << QStringLiteral("two words");
    QTest::newRow("quotes") << QStringLiteral("say \"hi\" 'there'");
    QTest::newRow("shell characters") << QStringLiteral("$HOME; rm -rf x | y &");
    QTest::newRow("empty") << QString();
}

void TestExecCommand::argumentsReachTheProgramUnchanged()
{
    QFETCH(QString, argument);
    ExecCommand runner;
    runner.setCommand(QStringLiteral("/usr/bin/printf"));
    runner.setArguments({QStringLiteral("[%s]"), argument});
    QVERIFY(runner.start());
    QVERIFY(runner.waitForFinished());
    QCOMPARE(runner.output(), QLatin1Char('[') + argument + QLatin1Char(']'));
}

void TestExecCommand::exitCodeAndFinished()
{
    ExecCommand runner;
    QSignalSpy finished(&runner, &ExecCommand::finished);
    runner.setCommand(Shell);
    runner.setArguments({QStringLiteral("-c"), QStringLiteral("exit 3")});
    QVERIFY(runner.start());
    QVERIFY(runner.waitForStarted());
    QVERIFY(runner.waitForFinished());
    QCOMPARE(runner.exitCode(), 3);
    QCOMPARE(finished.size(), 1);
    QVERIFY(!runner.isRunning());
    QVERIFY(m_log.contains("onFinished", QStringLiteral("/bin/sh exitCode: 3")));
}

void TestExecCommand::runsInTheApplicationDirectory()
{
    ExecCommand runner;
    runner.setCommand(QStringLiteral("/bin/pwd"));
    QVERIFY(runner.start());
    QVERIFY(runner.waitForFinished());
    QCOMPARE(QDir(runner.output().trimmed()).canonicalPath(),
             QDir(QCoreApplication::applicationDirPath()).canonicalPath());
}

void TestExecCommand::missingProgram()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString missing = dir.filePath(QStringLiteral("no-such-program"));

    ExecCommand runner;
    QSignalSpy finished(&runner, &ExecCommand::finished);
    QSignalSpy startFailed(&runner, &ExecCommand::startFailed);
    runner.setCommand(missing);
    QVERIFY(runner.start());
    QVERIFY(!runner.waitForStarted());
    QVERIFY(!runner.isRunning());
    QCOMPARE(finished.size(), 0);
    QCOMPARE(startFailed.size(), 1);
    QVERIFY(m_log.contains("onErrorOccurred", missing + QStringLiteral(" error: 0")));

    // The runner is usable again.
    runner.setCommand(QStringLiteral("/bin/true"));
    QVERIFY(runner.start());
    QVERIFY(runner.waitForFinished());
    QCOMPARE(runner.exitCode(), 0);
}

void TestExecCommand::killOnIdleRunnerDoesNothing()
{
    ExecCommand runner;
    QSignalSpy finished(&runner, &ExecCommand::finished);
    runner.kill();
    QVERIFY(!runner.isRunning());

    runner.setCommand(QStringLiteral("/bin/true"));
    QVERIFY(runner.start());
    QVERIFY(runner.waitForFinished());
    QCOMPARE(finished.size(), 1);
    runner.kill();
    QCOMPARE(finished.size(), 1);
    QCOMPARE(runner.exitCode(), 0);
}

void TestExecCommand::killReturnsAfterTheChildEnded()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString pidFile = dir.filePath(QStringLiteral("pid"));

    ExecCommand runner;
    QSignalSpy finished(&runner, &ExecCommand::finished);
    runner.setCommand(Shell);
    runner.setArguments({QStringLiteral("-c"), QStringLiteral("echo $$ > \"$0\"; exec sleep 30"), pidFile});
    QVERIFY(runner.start());
    QVERIFY(runner.waitForStarted());
    QTRY_VERIFY(QFileInfo(pidFile).size() > 0);
    QFile file(pidFile);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray pid = file.readAll().trimmed();

    runner.kill();
    QVERIFY(!runner.isRunning());
    QCOMPARE(finished.size(), 1);
    // Reaped already: nothing with that process id is left, not even a zombie.
    QVERIFY(!QFile::exists(QStringLiteral("/proc/") + QString::fromLatin1(pid)));
}

void TestExecCommand::startDetachedLeavesTheRunnerRefusingStarts()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString marker = dir.filePath(QStringLiteral("marker"));

    ExecCommand runner;
    QSignalSpy finished(&runner, &ExecCommand::finished);
    runner.setCommand(QStringLiteral("/usr/bin/touch"));
    runner.setArguments({marker});
    QVERIFY(runner.startDetached());
    QTRY_VERIFY(QFile::exists(marker));
    QVERIFY(runner.isRunning());

    QVERIFY(!runner.start());
    QVERIFY(!runner.startDetached());
    QVERIFY(m_log.contains("startDetached", QStringLiteral("/usr/bin/touch already running")));
    QVERIFY(m_log.contains("start", QStringLiteral("/usr/bin/touch already running")));
    QVERIFY(runner.isRunning());
    QCOMPARE(finished.size(), 0);
}

QTEST_GUILESS_MAIN(TestExecCommand)
#include "tst_execcommand.moc"
