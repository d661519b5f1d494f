#include <QtTest>

#include <QProcess>
#include <QProcessEnvironment>

// Runs the real executable: identity and command line as a user meets them. Help,
// version and refused options are answered on a machine without any display (a
// terminal, a service, a package script), so the process gets none.
class TestStartup : public QObject
{
    Q_OBJECT

private slots:
    void commandLine_data();
    void commandLine();

private:
    QString executable() const;
};

// What the check prints for one of the real-world profiles.
QString expectedCheck(const QString &name)
{
    QFile file(QStringLiteral(CORRIVO_PROFILES_DIR "/") + name + QStringLiteral("/expected.txt"));
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QStringLiteral("(missing)");
}

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

    // "%1" stands for the program as started.
    const QString help = QStringLiteral("Usage: %1 [options]\n"
                                        "helper\n"
                                        "\n"
                                        "Options:\n"
                                        "  -h, --help              Displays help on commandline options.\n"
                                        "  --help-all              Displays help including Qt specific options.\n"
                                        "  -v, --version           Displays version information.\n"
                                        "  --check-profile <file>  Checks the VPN profile <file> as a start would\n"
                                        "                          (companion files from its folder), prints the verdict\n"
                                        "                          and each dropped or rewritten line, and exits: 0\n"
                                        "                          accepted, 1 refused, 2 unreadable or not a profile.\n"
                                        "  --print                 With --check-profile: writes the configuration\n"
                                        "                          openvpn would get to the standard output, everything\n"
                                        "                          else to the standard error.\n"
                                        "  --log <level>           Writes the log to\n"
                                        "                          $XDG_STATE_HOME/corrivo2/corrivo2.log (owner only,\n"
                                        "                          rotated, secrets masked): --log for every line,\n"
                                        "                          --log=<level> from 1 (errors) to 4.\n"
                                        "                          CORRIVO_LOG=<level> does the same.\n");
    QTest::newRow("version") << QStringList{QStringLiteral("--version")} << 0 << "Corrivo 2 2.0.1\n" << "";
    QTest::newRow("short version") << QStringList{QStringLiteral("-v")} << 0 << "Corrivo 2 2.0.1\n" << "";
    QTest::newRow("help") << QStringList{QStringLiteral("--help")} << 0 << help << "";
    QTest::newRow("short help") << QStringList{QStringLiteral("-h")} << 0 << help << "";
    QTest::newRow("help with Qt's options") << QStringList{QStringLiteral("--help-all")} << 0 << "--help-all" << "";
    QTest::newRow("unknown option") << QStringList{QStringLiteral("--bogus")} << 1 << ""
                                    << "Corrivo 2: Unknown option 'bogus'.";
    QTest::newRow("unknown short option") << QStringList{QStringLiteral("-x")} << 1 << ""
                                          << "Corrivo 2: Unknown option 'x'.";
    // Qt's own options stay accepted, taken out before ours are read.
    QTest::newRow("version after a Qt option")
        << QStringList{QStringLiteral("-platform"), QStringLiteral("offscreen"), QStringLiteral("--version")} << 0
        << "Corrivo 2 2.0.1\n" << "";
    // The profile check: the verdict and the notices, or with --print the daemon's
    // configuration on the standard output and the rest on the error output.
    const QString profiles = QStringLiteral(CORRIVO_PROFILES_DIR);
    const QString accepted = profiles + QStringLiteral("/firewall-lport/client.ovpn");
    QTest::newRow("profile accepted") << QStringList{QStringLiteral("--check-profile"), accepted} << 0
                                      << expectedCheck(QStringLiteral("firewall-lport")) << "";
    QTest::newRow("profile printed") << QStringList{QStringLiteral("--check-profile"), accepted, QStringLiteral("--print")}
                                     << 0 << "pull-filter ignore ifconfig-ipv6\npull-filter ignore route-ipv6\nproto udp4\n"
                                     << expectedCheck(QStringLiteral("firewall-lport"));
    QTest::newRow("profile refused") << QStringList{QStringLiteral("--check-profile"),
                                                    profiles + QStringLiteral("/refused-plugin/client.ovpn")}
                                     << 1 << expectedCheck(QStringLiteral("refused-plugin")) << "";
    QTest::newRow("refused profile printed")
        << QStringList{QStringLiteral("--check-profile"), profiles + QStringLiteral("/refused-plugin/client.ovpn"),
                       QStringLiteral("--print")}
        << 1 << "" << expectedCheck(QStringLiteral("refused-plugin"));
    QTest::newRow("profile missing") << QStringList{QStringLiteral("--check-profile"), profiles + QStringLiteral("/none.ovpn")}
                                     << 2 << "profile cannot be read: cannot read " << "";
    QTest::newRow("not a regular file") << QStringList{QStringLiteral("--check-profile"), profiles} << 2
                                        << "profile cannot be read: " << "";
    QTest::newRow("log level out of range") << QStringList{QStringLiteral("--log=9")} << 2 << ""
                                            << "the log level is a number from 1 to 4";
    QTest::newRow("print alone") << QStringList{QStringLiteral("--print")} << 2 << ""
                                 << "--print goes with --check-profile";
    // Switches for the web engine never come from the command line, however written.
    QTest::newRow("engine switches after --")
        << QStringList{QStringLiteral("--"), QStringLiteral("--webEngineArgs"), QStringLiteral("--no-sandbox")} << 2 << ""
        << "--webEngineArgs is not taken";
    QTest::newRow("engine switches in capitals")
        << QStringList{QStringLiteral("--"), QStringLiteral("--WEBENGINEARGS"), QStringLiteral("--single-process")} << 2
        << "" << "--webEngineArgs is not taken";
    QTest::newRow("engine switches as an option") << QStringList{QStringLiteral("--webEngineArgs")} << 2 << ""
                                                  << "--webEngineArgs is not taken";
    QTest::newRow("unknown option after a Qt option")
        << QStringList{QStringLiteral("-reverse"), QStringLiteral("--bogus")} << 1 << ""
        << "Corrivo 2: Unknown option 'bogus'.";
}

void TestStartup::commandLine()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, stdoutText);
    QFETCH(QString, stderrText);

    QVERIFY(QFile::exists(executable()));
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "WAYLAND_SOCKET", "QT_QPA_PLATFORM"})
        environment.remove(QString::fromLatin1(name));
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(executable(), arguments);
    QVERIFY(process.waitForFinished(60000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), exitCode);

    const QString out = QString::fromUtf8(process.readAllStandardOutput());
    const QString err = QString::fromUtf8(process.readAllStandardError());
    if (stdoutText.endsWith(QLatin1Char('\n')) && !arguments.contains(QLatin1String("--print")))
        QCOMPARE(out, QString(stdoutText).replace(QLatin1String("%1"), executable()));
    else
        QVERIFY2(out.startsWith(stdoutText) || (!stdoutText.endsWith(QLatin1Char('\n')) && out.contains(stdoutText)),
                 qPrintable(out));
    if (stderrText.isEmpty())
        QVERIFY2(err.isEmpty() || !arguments.contains(QLatin1String("--check-profile")), qPrintable(err));
    else if (stderrText.endsWith(QLatin1Char('\n')))
        QCOMPARE(err, stderrText);
    else
        QVERIFY2(err.contains(stderrText), qPrintable(err));
}

QTEST_GUILESS_MAIN(TestStartup)
#include "tst_startup.moc"
