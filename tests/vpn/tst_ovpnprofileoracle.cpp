#include <QtTest>

#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <unistd.h>

#include <algorithm>

#include "vpn/ovpnclient.h"
#include "vpn/ovpndaemonoptions.h"
#include "vpn/ovpndaemonprofile.h"
#include "vpn/profilecheck.h"
#include "profilelines.h"

// Checks the profile filter against the real openvpn daemon: at verbosity 4 the daemon
// prints every option it has read ("Current Parameter Settings"). A hostile profile
// must show a forbidden setting there when given raw (so the case really is an attack
// on the daemon's own reading), and must never reach the daemon through the filter.
namespace {

// A client profile the daemon reads to the end of its option dump. With auth-user-pass
// and no terminal it then stops by itself, before any network traffic.
const QByteArray BaseProfile = "client\ndev tun\nproto tcp-client\nremote 127.0.0.1 9\nnobind\n"
                               "auth-user-pass\nverb 4\n<ca>\nnot a certificate\n</ca>\n";

struct DaemonReading
{
    bool dumped = false;
    QMap<QString, QString> settings;
    QString output;
};

// The daemon runs in a network namespace of its own: a profile that needs no password
// would otherwise go on to resolve and reach its server once its options are read.
// extraArguments follow the profile (a later option wins).
DaemonReading readWithDaemon(const QString &directory, const QByteArray &profile,
                             const QStringList &extraArguments = QStringList())
{
    DaemonReading reading;
    const QString path = directory + QStringLiteral("/oracle.ovpn");
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(profile) != profile.size())
        return reading;
    file.close();

    QProcess daemon;
    daemon.setProcessChannelMode(QProcess::MergedChannels);
    daemon.setWorkingDirectory(directory);
    daemon.setStandardInputFile(QProcess::nullDevice());
    QStringList arguments{QStringLiteral("--net")};
    if (::geteuid() != 0)
        arguments << QStringLiteral("--user") << QStringLiteral("--map-root-user");
    arguments << QStringLiteral("--") << ovpn::OvpnClient::daemonProgram() << QStringLiteral("--config") << path
              << extraArguments;
    daemon.start(QStringLiteral("unshare"), arguments);
    // The daemon prints its version line right after the dump.
    static const QRegularExpression dumpEnd(QStringLiteral("\\n\\S+ \\S+ us=\\d+ OpenVPN 2\\."));
    QDeadlineTimer deadline(15000);
    while (!deadline.hasExpired() && daemon.state() != QProcess::NotRunning
           && !dumpEnd.match(reading.output).hasMatch()) {
        daemon.waitForReadyRead(100);
        reading.output += QString::fromUtf8(daemon.readAll());
    }
    daemon.kill();
    daemon.waitForFinished(5000);
    reading.output += QString::fromUtf8(daemon.readAll());

    static const QRegularExpression setting(QStringLiteral("^\\S+ \\S+ us=\\d+ +(\\w+) = (.*)$"),
                                            QRegularExpression::MultilineOption);
    const int start = reading.output.indexOf(QStringLiteral("Current Parameter Settings:"));
    reading.dumped = start >= 0;
    auto it = setting.globalMatch(reading.output.mid(qMax(start, 0)));
    while (it.hasNext()) {
        const QRegularExpressionMatch match = it.next();
        // The first value wins: connection profiles repeat some names.
        if (!reading.settings.contains(match.captured(1)))
            reading.settings.insert(match.captured(1), match.captured(2));
    }
    return reading;
}

// Settings of the dump that would let a profile run, load, read, write or listen.
// inlineValues are values the caller wrote inline: the daemon prints inline proxy
// credentials as they are, not as "[INLINE]".
QStringList forbiddenSettings(const DaemonReading &reading, const QStringList &inlineValues = QStringList())
{
    static const QRegularExpression pathLike(
        QStringLiteral("(_script|_file|_file_up|_filename|_dir|_path)$|^(writepid|dev_node|management_addr|"
                       "port_share_host|pkcs11_id|ipchange|tls_verify|chroot_dir|cd_dir|username|groupname)$"));
    QStringList found;
    for (auto it = reading.settings.cbegin(); it != reading.settings.cend(); ++it) {
        const QString &key = it.key();
        const QString &value = it.value();
        const bool harmless = !value.startsWith(QLatin1Char('\''))
            || value == QLatin1String("'[UNDEF]'") || value == QLatin1String("'[INLINE]'") || inlineValues.contains(value)
            || (key == QLatin1String("tmp_dir") && value == QLatin1String("'/tmp'"))
            || (key == QLatin1String("auth_user_pass_file") && value == QLatin1String("'stdin'"));
        if (pathLike.match(key).hasMatch() && !harmless)
            found << key + QLatin1String(" = ") + value;
    }
    if (reading.settings.value(QStringLiteral("mode"), QStringLiteral("0")) != QLatin1String("0"))
        found << QStringLiteral("mode = ") + reading.settings.value(QStringLiteral("mode"));
    if (reading.settings.value(QStringLiteral("proto")).contains(QLatin1String("server")))
        found << QStringLiteral("proto = ") + reading.settings.value(QStringLiteral("proto"));
    if (reading.settings.value(QStringLiteral("tls_server")) == QLatin1String("ENABLED"))
        found << QStringLiteral("tls_server = ENABLED");
    for (const char *trace : {"PLUGIN_INIT", "PKCS#11: Adding"}) {
        if (reading.output.contains(QLatin1String(trace)))
            found << QString::fromLatin1(trace);
    }
    return found;
}

ovpn::Config configFor(const QByteArray &content)
{
    ovpn::Config config;
    config.content = content.toStdString();
    config.protoVersionOverride = 0;
    config.ipv6 = "no";
    return config;
}

} // namespace

class TestOvpnProfileOracle : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void baseProfileIsClean();
    void hostileProfiles_data();
    void hostileProfiles();
    void acceptedProfilesStayClean_data();
    void acceptedProfilesStayClean();
    void realWorldLinesStart_data();
    void realWorldLinesStart();
    void realWorldProfiles_data();
    void realWorldProfiles();
    void fixedPullFiltersComeFirst();

private:
    QTemporaryDir m_directory;
};

void TestOvpnProfileOracle::initTestCase()
{
    QVERIFY(m_directory.isValid());
    QFile secret(m_directory.filePath(QStringLiteral("secret")));
    QVERIFY(secret.open(QIODevice::WriteOnly));
    QVERIFY(secret.write("user\npassword\n") > 0);
    QVERIFY2(QFileInfo(ovpn::OvpnClient::daemonProgram()).isExecutable(),
             "openvpn is missing: scripts/setup.sh installs it");
}

void TestOvpnProfileOracle::baseProfileIsClean()
{
    const DaemonReading reading = readWithDaemon(m_directory.path(), BaseProfile);
    QVERIFY2(reading.dumped, qPrintable(reading.output));
    QCOMPARE(reading.settings.value(QStringLiteral("remote")), QStringLiteral("'127.0.0.1'"));
    QCOMPARE(reading.settings.value(QStringLiteral("ca_file")), QStringLiteral("'[INLINE]'"));
    QVERIFY2(forbiddenSettings(reading).isEmpty(), qPrintable(forbiddenSettings(reading).join(QLatin1Char(','))));
}

void TestOvpnProfileOracle::hostileProfiles_data()
{
    // @DIR@ stands for a private temporary directory holding a file "secret"; "visible" says whether the daemon's
    // dump shows the attack when the profile reaches it raw (some act outside the dump).
    QTest::addColumn<QByteArray>("lines");
    QTest::addColumn<bool>("visible");
    // A few are dropped with a notice rather than refused: what they would do never
    // reaches the daemon either way.
    QTest::addColumn<bool>("refused");
    QTest::newRow("adjacent quoted pieces") << QByteArray("\"up\"'/bin/true'\n\"script-security\"2") << true << true;
    QTest::newRow("escaped blank before the name") << QByteArray("\\ route-up /bin/true") << true << true;
    QTest::newRow("setenv opt") << QByteArray("setenv opt up /bin/true") << true << true;
    QTest::newRow("quoted double dash") << QByteArray("\"--ipchange\" /bin/true") << true << true;
    QTest::newRow("block closed by a line that starts with its tag")
        << QByteArray("<extra-certs>\n</extra-certs>x\nup /bin/true\n<extra-certs>\n</extra-certs>") << true << true;
    QTest::newRow("block closed by its 255-byte piece")
        << "<extra-certs>\n" + QByteArray(255, 'A') + "</extra-certs>\nup /bin/true\n<extra-certs>\n</extra-certs>"
        << true << true;
    // openvpn 2.6.14 refuses such a line itself; older versions read its tail as a line.
    QTest::newRow("comment hiding a directive past 255 bytes") << "# " + QByteArray(253, 'A') + "up /bin/true"
                                                               << false << true;
    QTest::newRow("memstats") << QByteArray("memstats @DIR@/victim") << false << true;
    QTest::newRow("pkcs11 library") << QByteArray("show-pkcs11-ids @DIR@/evil.so") << true << true;
    QTest::newRow("plugin") << QByteArray("plugin @DIR@/evil.so") << true << true;
    QTest::newRow("proxy credentials file") << QByteArray("http-proxy 127.0.0.1 8080 @DIR@/secret") << true << true;
    QTest::newRow("proxy credentials directive")
        << QByteArray("http-proxy 127.0.0.1 8080 auto\nhttp-proxy-user-pass @DIR@/secret") << true << true;
    QTest::newRow("socks credentials file") << QByteArray("socks-proxy 127.0.0.1 1080 @DIR@/secret") << false << true;
    QTest::newRow("management listener") << QByteArray("management 127.0.0.1 7505") << true << true;
    QTest::newRow("server transport") << QByteArray("proto tcp-server") << true << true;
    QTest::newRow("server transport on a remote") << QByteArray("remote 127.0.0.1 9 tcp-server") << false << true;
    QTest::newRow("status file") << QByteArray("status @DIR@/victim") << true << false;
    QTest::newRow("pid file") << QByteArray("writepid @DIR@/victim") << true << true;
    QTest::newRow("ca from a file") << QByteArray("ca /etc/shadow") << true << true;
    QTest::newRow("credentials file") << QByteArray("auth-user-pass @DIR@/secret") << true << false;
    QTest::newRow("tls verify script") << QByteArray("tls-verify /bin/true") << true << true;
    QTest::newRow("device node") << QByteArray("dev-node @DIR@/victim") << true << true;
    QTest::newRow("user switch") << QByteArray("user nobody") << true << false;
    QTest::newRow("script in a connection block")
        << QByteArray("<connection>\nremote 127.0.0.1 9\nup /bin/true\n</connection>") << false << true;
    QTest::newRow("script as an inline block") << QByteArray("<up>\n/bin/true\n</up>") << false << true;
}

void TestOvpnProfileOracle::hostileProfiles()
{
    QFETCH(QByteArray, lines);
    QFETCH(bool, visible);
    QFETCH(bool, refused);
    lines.replace("@DIR@", m_directory.path().toUtf8());
    const QByteArray raw = BaseProfile + lines + '\n';

    if (visible) {
        const DaemonReading reading = readWithDaemon(m_directory.path(), raw);
        QVERIFY2(!forbiddenSettings(reading).isEmpty(), qPrintable(reading.output));
    }

    const ovpn::DaemonProfile filtered(configFor(raw));
    if (!filtered.eval().error) {
        // Whatever passes must be harmless to the daemon; the filter refuses these anyway.
        const DaemonReading reading = readWithDaemon(m_directory.path(), QByteArray::fromStdString(filtered.text()));
        const QStringList forbidden = forbiddenSettings(reading);
        QVERIFY2(forbidden.isEmpty(), qPrintable(QStringLiteral("reached the daemon: ") + forbidden.join(QLatin1Char(','))));
    }
    if (!refused) {
        QVERIFY2(!filtered.eval().error, filtered.eval().message.c_str());
        QCOMPARE(filtered.notices().size(), std::size_t(1));
        QVERIFY(!filtered.notices().front().original.empty());
        return;
    }
    QVERIFY2(filtered.eval().error, filtered.text().c_str());
    QVERIFY(filtered.text().empty());
    QVERIFY(QString::fromStdString(filtered.eval().message).startsWith(QLatin1String("profile refused: line ")));
}

void TestOvpnProfileOracle::acceptedProfilesStayClean_data()
{
    QTest::addColumn<QByteArray>("lines");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");
    QTest::newRow("script text inside a key block")
        << QByteArray("<extra-certs>\nup /bin/true\n</extra-certs-not\n</extra-certs>") << "extra_certs_file"
        << "'[INLINE]'";
    QTest::newRow("quoted x509 name") << QByteArray("verify-x509-name 'vpn server' name") << "verify_x509_name"
                                      << "'vpn server'";
    QTest::newRow("proxy without credentials") << QByteArray("http-proxy 127.0.0.1 8080 auto") << "server"
                                               << "'127.0.0.1'";
    QTest::newRow("inline proxy credentials")
        << QByteArray("http-proxy 127.0.0.1 8080 auto\n<http-proxy-user-pass>\nu\np\n</http-proxy-user-pass>")
        << "auth_file_up" << "'u";
    QTest::newRow("connection block") << QByteArray("<connection>\nremote 127.0.0.1 10\n</connection>")
                                      << "remote_port" << "'10'";
    QTest::newRow("setenv of peer info") << QByteArray("setenv UV_SITE \"north \\\"1\\\"\"") << "verbosity" << "4";
    QTest::newRow("pull filter and route")
        << QByteArray("pull-filter ignore \"route 10.\"\nroute 10.1.0.0 255.255.0.0") << "verbosity" << "4";
}

void TestOvpnProfileOracle::acceptedProfilesStayClean()
{
    QFETCH(QByteArray, lines);
    QFETCH(QString, key);
    QFETCH(QString, value);
    const ovpn::DaemonProfile filtered(configFor(BaseProfile + lines + '\n'));
    QVERIFY2(!filtered.eval().error, filtered.eval().message.c_str());

    const DaemonReading reading = readWithDaemon(m_directory.path(), QByteArray::fromStdString(filtered.text()));
    QVERIFY2(reading.dumped, qPrintable(reading.output));
    const QStringList forbidden = forbiddenSettings(reading, {value});
    QVERIFY2(forbidden.isEmpty(), qPrintable(forbidden.join(QLatin1Char(','))));
    QCOMPARE(reading.settings.value(key), value);
}

namespace {

// What the daemon makes of a filtered profile under the application's fixed options:
// its option parsing must run to the end, with no options error.
void expectDaemonAccepts(const QString &directory, const std::string &config)
{
    const DaemonReading reading = readWithDaemon(directory, QByteArray::fromStdString(config),
                                                 {QStringLiteral("--verb"), QStringLiteral("4")});
    QVERIFY2(reading.dumped, qPrintable(reading.output));
    QVERIFY2(!reading.output.contains(QLatin1String("Options error")), qPrintable(reading.output));
    const QStringList forbidden = forbiddenSettings(reading);
    QVERIFY2(forbidden.isEmpty(), qPrintable(forbidden.join(QLatin1Char(','))));
}

} // namespace

void TestOvpnProfileOracle::realWorldLinesStart_data()
{
    QTest::addColumn<QByteArray>("line");
    const QList<ProfileLine> table = readProfileLines(QStringLiteral(CORRIVO_PROFILES_DIR "/lines.tsv"));
    QVERIFY2(!table.isEmpty(), "profiles/lines.tsv is missing or broken");
    for (const ProfileLine &entry : table)
        QTest::newRow(entry.line.constData()) << entry.line;
}

// Every line the filter lets through, as the application's client configuration has
// it, starts the daemon: the fixed options never clash with what a profile kept.
void TestOvpnProfileOracle::realWorldLinesStart()
{
    QFETCH(QByteArray, line);
    ovpn::Config config = ovpn::applicationConfig();
    config.content = QByteArray(BaseProfile + line + '\n').toStdString();
    const ovpn::DaemonProfile filtered(config);
    QVERIFY2(!filtered.eval().error, filtered.eval().message.c_str());
    expectDaemonAccepts(m_directory.path(), ovpn::daemonConfigText(filtered.text(), ovpn::configOptions(config)));
}

void TestOvpnProfileOracle::realWorldProfiles_data()
{
    QTest::addColumn<QString>("directory");
    const QDir profiles(QStringLiteral(CORRIVO_PROFILES_DIR));
    const QStringList names = profiles.entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    QVERIFY2(names.size() >= 10, "the real-world profiles are missing");
    for (const QString &name : names)
        QTest::newRow(qPrintable(name)) << profiles.filePath(name);
}

// Whole profiles in the styles of the common generators: the check a start makes (the
// merge with the files beside the profile, then the filter) gives the verdict and the
// notices in expected.txt, and an accepted profile starts the daemon.
void TestOvpnProfileOracle::realWorldProfiles()
{
    QFETCH(QString, directory);
    QFile expectedFile(directory + QStringLiteral("/expected.txt"));
    QVERIFY(expectedFile.open(QIODevice::ReadOnly));
    const QString expected = QString::fromUtf8(expectedFile.readAll());

    const ProfileCheck check(directory + QStringLiteral("/client.ovpn"));
    const QStringList report = QStringList{check.summary()} + check.notices();
    QCOMPARE(report.join(QLatin1Char('\n')) + QLatin1Char('\n'), expected);
    QCOMPARE(check.verdict() == ProfileCheck::Accepted, expected.startsWith(QLatin1String("profile accepted\n")));
    if (check.verdict() == ProfileCheck::Accepted)
        expectDaemonAccepts(m_directory.path(), check.daemonConfig());
    else
        QVERIFY(check.daemonConfig().empty());
}

// The daemon applies the first pull filter that matches: the client configuration's come
// before any of the profile's, on the command line and in the printed configuration.
void TestOvpnProfileOracle::fixedPullFiltersComeFirst()
{
    ovpn::Config config = ovpn::applicationConfig();
    const std::vector<std::string> arguments = ovpn::daemonArguments("p.ovpn", "m", ovpn::configOptions(config));
    const auto firstFilter = std::find(arguments.begin(), arguments.end(), std::string("--pull-filter"));
    const auto profile = std::find(arguments.begin(), arguments.end(), std::string("--config"));
    QVERIFY(firstFilter != arguments.end());
    QVERIFY(firstFilter < profile);

    config.content = QByteArray(BaseProfile + "pull-filter accept route-ipv6\n").toStdString();
    const ovpn::DaemonProfile filtered(config);
    QVERIFY2(!filtered.eval().error, filtered.eval().message.c_str());
    const DaemonReading reading = readWithDaemon(m_directory.path(),
        QByteArray::fromStdString(ovpn::daemonConfigText(filtered.text(), ovpn::configOptions(config))),
        {QStringLiteral("--verb"), QStringLiteral("4")});
    QVERIFY2(reading.dumped, qPrintable(reading.output));
    const qsizetype ours = reading.output.indexOf(QLatin1String("ignore \"route-ipv6\""));
    const qsizetype theirs = reading.output.indexOf(QLatin1String("accept \"route-ipv6\""));
    QVERIFY2(ours >= 0 && theirs > ours, qPrintable(reading.output));
}

QTEST_GUILESS_MAIN(TestOvpnProfileOracle)
#include "tst_ovpnprofileoracle.moc"
