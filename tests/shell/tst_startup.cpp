#include <QtTest>

#include <QProcess>

// Runs the real executable: identity and command line as a user meets them.
class TestStartup : public QObject
{
    Q_OBJECT

private slots:
    void commandLine_data();
    void commandLine();

private:
    QString executable() const;
};

QString TestStartup::executable() const
{
    return qEnvironmentVariable("CORRIVO_BIN_DIR") + QStringLiteral("/corrivo2");
}

void TestStartup::commandLine_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("stdoutText");
    QTest::addColumn<QString>("stderrText");

    QTest::newRow("version") << QStringList{QStringLiteral("--version")} << 0 << "Corrivo 2 2.0.1\n" << "";
    QTest::newRow("short version") << QStringList{QStringLiteral("-v")} << 0 << "Corrivo 2 2.0.1\n" << "";
    QTest::newRow("help") << QStringList{QStringLiteral("--help")} << 0 << "helper" << "";
    QTest::newRow("unknown option") << QStringList{QStringLiteral("--bogus")} << 1 << ""
                                    << "Unknown option 'bogus'";
}

void TestStartup::commandLine()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, stdoutText);
    QFETCH(QString, stderrText);

    QVERIFY(QFile::exists(executable()));
    QProcess process;
    process.start(executable(), arguments);
    QVERIFY(process.waitForFinished(60000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), exitCode);

    const QString out = QString::fromUtf8(process.readAllStandardOutput());
    const QString err = QString::fromUtf8(process.readAllStandardError());
    if (stdoutText.endsWith(QLatin1Char('\n')))
        QCOMPARE(out, stdoutText);
    else
        QVERIFY2(out.contains(stdoutText), qPrintable(out));
    QVERIFY2(err.contains(stderrText), qPrintable(err));
}

QTEST_GUILESS_MAIN(TestStartup)
#include "tst_startup.moc"
