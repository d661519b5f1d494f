#include <QtTest>

#include "vpn/ovpndaemonprofile.h"
#include "vpn/ovpnlexer.h"
#include "profilelines.h"

using namespace Qt::StringLiterals;

namespace {

ovpn::Config configFor(const QByteArray &content)
{
    ovpn::Config config;
    config.content = content.toStdString();
    config.protoVersionOverride = 4;
    config.ipv6 = "no";
    config.disableClientCert = true;
    return config;
}

QString textOf(const ovpn::DaemonProfile &profile)
{
    return QString::fromStdString(profile.text());
}

} // namespace

class TestOvpnDaemonProfile : public QObject
{
    Q_OBJECT

private slots:
    void splitsLikeTheDaemon_data();
    void splitsLikeTheDaemon();
    void readsBlocksLikeTheDaemon_data();
    void readsBlocksLikeTheDaemon();
    void refusesCommandsAndFiles_data();
    void refusesCommandsAndFiles();
    void acceptsClientDirectives_data();
    void acceptsClientDirectives();
    void verdicts_data();
    void verdicts();
    void noticesSurviveARefusal();
    void dropsOverriddenDirectives();
    void connectionBlocks();
    void filteringItsOwnOutputChangesNothing();
    void keepsOrdinaryDirectives();
    void forcesIpv4Transport_data();
    void forcesIpv4Transport();
    void credentialsStayInMemory();
    void autologinWithoutAuthUserPass();
    void failures_data();
    void failures();
};

void TestOvpnDaemonProfile::splitsLikeTheDaemon_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QStringList>("words");
    QTest::addColumn<bool>("valid");
    const QStringList none;
    QTest::newRow("plain") << QByteArray("remote a 1194") << QStringList{u"remote"_s, u"a"_s, u"1194"_s} << true;
    QTest::newRow("tabs and CR") << QByteArray("\tverb\t3\r") << QStringList{u"verb"_s, u"3"_s} << true;
    QTest::newRow("adjacent quotes are two words")
        << QByteArray("\"up\"'/bin/sh -c id'") << QStringList{u"up"_s, u"/bin/sh -c id"_s} << true;
    QTest::newRow("quoted then bare") << QByteArray("\"script-security\"2") << QStringList{u"script-security"_s, u"2"_s}
                                      << true;
    QTest::newRow("escaped blank before a name") << QByteArray("\\ route-up /x") << QStringList{u"route-up"_s, u"/x"_s}
                                                 << true;
    QTest::newRow("quote inside a bare word") << QByteArray("up\"x\"") << QStringList{u"up\"x\""_s} << true;
    QTest::newRow("escapes in double quotes") << QByteArray("\"a\\\"b\\\\c\"") << QStringList{u"a\"b\\c"_s} << true;
    QTest::newRow("single quotes are literal") << QByteArray("'a\\b'") << QStringList{u"a\\b"_s} << true;
    QTest::newRow("escaped blank in a word") << QByteArray("a\\ b") << QStringList{u"a b"_s} << true;
    QTest::newRow("escaped quote starts a bare word") << QByteArray("\\\"x\"") << QStringList{u"\"x\""_s} << true;
    QTest::newRow("empty quoted word") << QByteArray("setenv \"\"") << QStringList{u"setenv"_s, u""_s} << true;
    QTest::newRow("comment after a word") << QByteArray("verb 3 # four") << QStringList{u"verb"_s, u"3"_s} << true;
    QTest::newRow("hash inside a word") << QByteArray("a#b") << QStringList{u"a#b"_s} << true;
    QTest::newRow("escaped hash is a comment") << QByteArray("\\#up /x") << none << true;
    QTest::newRow("semicolon comment") << QByteArray("  ; up /x") << none << true;
    QTest::newRow("double dash") << QByteArray("--up /x") << QStringList{u"up"_s, u"/x"_s} << true;
    QTest::newRow("bare double dash") << QByteArray("-- x") << QStringList{u"--"_s, u"x"_s} << true;
    QTest::newRow("quoted double dash") << QByteArray("\"--up\" /x") << QStringList{u"up"_s, u"/x"_s} << true;
    QTest::newRow("bad backslash") << QByteArray("up /x\\y") << none << false;
    QTest::newRow("bad backslash in quotes") << QByteArray("\"a\\nb\"") << none << false;
    QTest::newRow("unclosed double quote") << QByteArray("remote \"a") << none << false;
    QTest::newRow("unclosed single quote") << QByteArray("remote 'a") << none << false;
    QTest::newRow("trailing backslash") << QByteArray("remote a\\") << none << false;
    QTest::newRow("word too long") << "remote " + QByteArray(256, 'a') << none << false;
    QTest::newRow("sixteen words") << QByteArray("route 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15") << none << false;
}

void TestOvpnDaemonProfile::splitsLikeTheDaemon()
{
    QFETCH(QByteArray, line);
    QFETCH(QStringList, words);
    QFETCH(bool, valid);
    std::string error;
    QStringList split;
    for (const std::string &word : ovpn::splitLine(line.toStdString(), &error))
        split << QString::fromStdString(word);
    QCOMPARE(split, words);
    QCOMPARE(error.empty(), valid);
    if (valid) {
        std::vector<std::string> original;
        for (const QString &word : words)
            original.push_back(word.toStdString());
        QCOMPARE(ovpn::splitLine(ovpn::joinLine(original)), original);
    }
}

void TestOvpnDaemonProfile::readsBlocksLikeTheDaemon_data()
{
    QTest::addColumn<QByteArray>("content");
    // One entry per directive: its words joined by '|', or "!" + a part of the error.
    QTest::addColumn<QStringList>("directives");
    QTest::newRow("block") << QByteArray("<ca>\nA\nup x\n</ca>\nverb 3\n") << QStringList{u"ca|A\nup x\n"_s, u"verb|3"_s};
    QTest::newRow("quoted tag with a comment") << QByteArray("\"<ca>\" # c\nA\n  </ca>\n")
                                               << QStringList{u"ca|A\n"_s};
    QTest::newRow("closed by a line that starts with the tag")
        << QByteArray("<ca>\n</ca>x\nup /x\n<ca>\n</ca>\n") << QStringList{u"ca|"_s, u"up|/x"_s, u"ca|"_s};
    QTest::newRow("rest of the closing line ignored") << QByteArray("<ca>\nA\n</ca> up /x\n") << QStringList{u"ca|A\n"_s};
    QTest::newRow("byte order mark") << QByteArray("\xEF\xBB\xBFverb 3\n") << QStringList{u"verb|3"_s};
    QTest::newRow("no final line feed") << QByteArray("verb 3") << QStringList{u"verb|3"_s};
    QTest::newRow("unclosed") << QByteArray("<ca>\nA\n</cax\n") << QStringList{u"!<ca> opened on line 1 is not closed"_s};
    QTest::newRow("a piece of 255 bytes would end the block")
        << QByteArray("<ca>\n" + QByteArray(255, 'A') + "</ca>\nup /x\n<ca>\n</ca>\n")
        << QStringList{u"!line 2 is longer than 254 bytes"_s};
    QTest::newRow("comment hiding a directive past 255 bytes")
        << "# " + QByteArray(253, 'A') + "up /x\n" << QStringList{u"!line 1 is longer than 254 bytes"_s};
    QTest::newRow("NUL") << QByteArray("verb 3\0\nup /x\n", 15) << QStringList{u"!NUL"_s};
    QTest::newRow("lexer error names the line") << QByteArray("verb 3\nremote \"x\n") << QStringList{u"!line 2: no closing"_s};
}

void TestOvpnDaemonProfile::readsBlocksLikeTheDaemon()
{
    QFETCH(QByteArray, content);
    QFETCH(QStringList, directives);
    std::vector<ovpn::Directive> read;
    std::string error;
    const bool ok = ovpn::readDirectives(content.toStdString(), &read, &error);
    if (directives.size() == 1 && directives.first().startsWith(QLatin1Char('!'))) {
        QVERIFY(!ok);
        QVERIFY2(QString::fromStdString(error).contains(directives.first().mid(1)), error.c_str());
        return;
    }
    QVERIFY2(ok, error.c_str());
    QStringList found;
    for (const ovpn::Directive &directive : read) {
        QStringList words;
        for (const std::string &word : directive.words)
            words << QString::fromStdString(word);
        found << words.join(QLatin1Char('|'));
    }
    QCOMPARE(found, directives);
}

void TestOvpnDaemonProfile::refusesCommandsAndFiles_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QString>("reason");
    for (const char *line : {"up /tmp/evil.sh", "down \"/bin/sh -c id\"", "--route-up /x",
                             "plugin /lib/evil.so", "management 0.0.0.0 7505",
                             "writepid /etc/x", "config other.conf", "askpass /root/pass",
                             "tls-verify /x", "learn-address /x", "ipchange /x", "  iproute /bin/evil",
                             "dev-node /dev/sda", "cd /", "chroot /tmp", "daemon", "engine dynamic",
                             "providers legacy", "crl-verify /etc dir", "route-pre-down /x", "tmp-dir /tmp",
                             "memstats /etc/passwd", "show-pkcs11-ids /lib/evil.so", "pkcs11-providers /lib/evil.so",
                             "port-share 127.0.0.1 443", "server 10.8.0.0 255.255.255.0", "mode server",
                             "tls-server", "ca /etc/ssl/ca.pem", "tls-auth ta.key 1", "secret static.key",
                             "http-proxy-user-pass /etc/shadow"}) {
        QTest::newRow(line) << QByteArray(line) << "is not allowed";
    }
    QTest::newRow("server transport") << QByteArray("proto tcp-server") << "no client transport";
    QTest::newRow("server transport on a remote") << QByteArray("remote h 1 tcp-server") << "no client transport";
    QTest::newRow("proxy credentials file") << QByteArray("http-proxy h 8080 /etc/shadow") << "credentials file";
    QTest::newRow("proxy credentials file and method")
        << QByteArray("http-proxy h 8080 /etc/shadow basic") << "takes 2 to 3 arguments, not 4";
    QTest::newRow("socks credentials file") << QByteArray("socks-proxy h 1080 /etc/shadow") << "takes 1 to 2";
    QTest::newRow("setenv opt") << QByteArray("setenv opt up /bin/sh") << "\"up\" is not allowed";
    QTest::newRow("setenv opt of an unknown directive") << QByteArray("setenv opt x") << "\"x\" is not allowed";
    QTest::newRow("setenv opt naming nothing") << QByteArray("setenv opt") << "names no directive";
    QTest::newRow("setenv opt twice") << QByteArray("setenv opt setenv opt plugin /x.so") << "\"plugin\" is not allowed";
    QTest::newRow("setenv opt of a file") << QByteArray("setenv opt ca /etc/shadow") << "\"ca\" is not allowed";
    QTest::newRow("resolver script with more") << QByteArray("up '/etc/openvpn/update-resolv-conf; id'")
                                               << "it would run a program";
    QTest::newRow("resolver script with an argument") << QByteArray("up /etc/openvpn/update-resolv-conf x")
                                                      << "takes 1 arguments, not 2";
    QTest::newRow("resolver script elsewhere") << QByteArray("route-up /tmp/update-resolv-conf")
                                               << "it would run a program";
    QTest::newRow("device path") << QByteArray("dev /dev/sda") << "no network interface name";
    QTest::newRow("quoting lengthens the line")
        << "verify-x509-name '" + QByteArray(120, '"') + "' name" << "longer than 254 bytes once written out";
    QTest::newRow("inline secret") << QByteArray("<secret>\nk\n</secret>") << "<secret> is not allowed";
    QTest::newRow("inline script") << QByteArray("<up>\n/bin/sh\n</up>") << "<up> is not allowed";
    QTest::newRow("directive in a block of its own")
        << QByteArray("<extra-certs>\n</extra-certs> x\nup /x\n<ca>\n</ca>") << "\"up\" is not allowed";
}

void TestOvpnDaemonProfile::refusesCommandsAndFiles()
{
    QFETCH(QByteArray, line);
    QFETCH(QString, reason);
    const ovpn::DaemonProfile profile(configFor("client\nremote 192.0.2.1\n" + line + "\nverb 3\n"));
    QVERIFY(profile.eval().error);
    const QString message = QString::fromStdString(profile.eval().message);
    QVERIFY2(message.startsWith(QStringLiteral("profile refused: line ")), qPrintable(message));
    QVERIFY2(message.contains(reason), qPrintable(message));
    QVERIFY(profile.text().empty());
}

void TestOvpnDaemonProfile::acceptsClientDirectives_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QString>("written");
    QTest::newRow("quoted argument") << QByteArray("verify-x509-name \"CN=vpn server\" subject")
                                     << "verify-x509-name \"CN=vpn server\" subject";
    QTest::newRow("comment dropped") << QByteArray("verb 3 # chatty") << "verb 3";
    QTest::newRow("double dash") << QByteArray("--nobind") << "nobind";
    QTest::newRow("proxy without credentials") << QByteArray("http-proxy proxy.example 8080")
                                               << "http-proxy proxy.example 8080";
    QTest::newRow("proxy asking") << QByteArray("http-proxy proxy.example 8080 auto") << "http-proxy proxy.example 8080 auto";
    QTest::newRow("peer info") << QByteArray("setenv UV_SITE north") << "setenv UV_SITE north";
    QTest::newRow("pull filter") << QByteArray("pull-filter ignore \"route \"") << "pull-filter ignore \"route \"";
    QTest::newRow("inline key") << QByteArray("<tls-crypt>\nK\n</tls-crypt>") << "<tls-crypt>\nK\n</tls-crypt>";
}

void TestOvpnDaemonProfile::acceptsClientDirectives()
{
    QFETCH(QByteArray, line);
    QFETCH(QString, written);
    const ovpn::DaemonProfile profile(configFor("client\nremote 192.0.2.1\n" + line + '\n'));
    QVERIFY2(!profile.eval().error, profile.eval().message.c_str());
    QCOMPARE(textOf(profile), QStringLiteral("proto udp4\nclient\nremote 192.0.2.1\n") + written + QLatin1Char('\n'));
}

void TestOvpnDaemonProfile::verdicts_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QString>("written");
    QTest::addColumn<QString>("reason");
    const QList<ProfileLine> table = readProfileLines(QStringLiteral(CORRIVO_PROFILES_DIR "/lines.tsv"));
    QVERIFY2(table.size() > 20, "profiles/lines.tsv is missing or broken");
    for (const ProfileLine &entry : table)
        QTest::newRow(entry.line.constData()) << entry.line << entry.written << entry.reason;
}

void TestOvpnDaemonProfile::verdicts()
{
    QFETCH(QByteArray, line);
    QFETCH(QString, written);
    QFETCH(QString, reason);
    ovpn::Config config = configFor("client\nremote 192.0.2.1\n" + line + "\nverb 3\n");
    config.compressionMode = "yes";
    const ovpn::DaemonProfile profile(config);
    QVERIFY2(!profile.eval().error, profile.eval().message.c_str());
    QCOMPARE(textOf(profile), QStringLiteral("proto udp4\nclient\nremote 192.0.2.1\n")
                                  + (written.isEmpty() ? QString() : written + QLatin1Char('\n'))
                                  + QStringLiteral("verb 3\n"));
    if (reason.isEmpty()) {
        QVERIFY(profile.notices().empty());
        return;
    }
    QCOMPARE(profile.notices().size(), std::size_t(1));
    const ovpn::ProfileNotice &notice = profile.notices().front();
    QCOMPARE(notice.line, 3);
    QCOMPARE(notice.dropped(), written.isEmpty());
    QCOMPARE(QString::fromStdString(notice.replacement), written);
    const QString described = QString::fromStdString(notice.describe());
    QVERIFY2(described.startsWith(written.isEmpty() ? QStringLiteral("line 3: dropped \"")
                                                    : QStringLiteral("line 3: rewrote \"")),
             qPrintable(described));
    QVERIFY2(described.contains(reason), qPrintable(described));
}

void TestOvpnDaemonProfile::noticesSurviveARefusal()
{
    // A refused profile still says what else it would have lost, so that one look at
    // the check shows everything to fix.
    const ovpn::DaemonProfile profile(configFor("client\nremote 192.0.2.1\nuser nobody\nup /bin/sh\n"));
    QVERIFY(profile.eval().error);
    QCOMPARE(QString::fromStdString(profile.eval().message),
             QStringLiteral("profile refused: line 4: the directive \"up\" is not allowed in a profile: "
                            "it would run a program"));
    QCOMPARE(profile.notices().size(), std::size_t(1));
    QCOMPARE(profile.notices().front().line, 3);
    QVERIFY(profile.text().empty());
}

void TestOvpnDaemonProfile::dropsOverriddenDirectives()
{
    const ovpn::DaemonProfile profile(
        configFor("client\nremote 192.0.2.1\npersist-tun\nroute-ipv6 fd00::/64\nverb 3\n"));
    QVERIFY(!profile.eval().error);
    QCOMPARE(textOf(profile), QStringLiteral("proto udp4\nclient\nremote 192.0.2.1\nverb 3\n"));
    QCOMPARE(profile.notices().size(), std::size_t(2));
}

void TestOvpnDaemonProfile::connectionBlocks()
{
    const ovpn::DaemonProfile profile(configFor("client\n<connection>\nremote 192.0.2.1 443 tcp\nnobind\n"
                                                "</connection>\n"));
    QVERIFY2(!profile.eval().error, profile.eval().message.c_str());
    QCOMPARE(textOf(profile),
             QStringLiteral("proto udp4\nclient\n<connection>\nremote 192.0.2.1 443 tcp4-client\nnobind\n</connection>\n"));
    QCOMPARE(QString::fromStdString(profile.eval().remoteHost), QStringLiteral("192.0.2.1"));

    const ovpn::DaemonProfile scripted(
        configFor("client\n<connection>\nremote 192.0.2.1\nup /bin/sh\n</connection>\n"));
    QVERIFY(scripted.eval().error);
    QVERIFY2(QString::fromStdString(scripted.eval().message).contains(QStringLiteral("line 4: the directive \"up\"")),
             scripted.eval().message.c_str());

    const ovpn::DaemonProfile nested(
        configFor("client\n<connection>\nremote 192.0.2.1\n<ca>\nx\n</ca>\n</connection>\n"));
    QVERIFY(nested.eval().error);
}

void TestOvpnDaemonProfile::filteringItsOwnOutputChangesNothing()
{
    ovpn::Config config = configFor("client\n\"remote\" 'vpn example' 1194 udp\n--verb 3 ; x\n"
                                    "<ca>\n  spaced\r\n</ca>\nsetenv UV_A \"a\\\\b\"\n");
    config.protoVersionOverride = 0;
    const ovpn::DaemonProfile first(config);
    QVERIFY2(!first.eval().error, first.eval().message.c_str());
    config.content = first.text();
    const ovpn::DaemonProfile second(config);
    QVERIFY(!second.eval().error);
    QCOMPARE(textOf(second), textOf(first));
}

void TestOvpnDaemonProfile::keepsOrdinaryDirectives()
{
    const QByteArray content = "client\ndev tun\nremote 192.0.2.1 1194\nnobind\nremote-cert-tls server\n"
                               "<ca>\nup inside a block is data\n</ca>\ncipher AES-256-GCM\nverb 3\n";
    const ovpn::DaemonProfile profile(configFor(content));
    QVERIFY(!profile.eval().error);
    QVERIFY(profile.notices().empty());
    QCOMPARE(textOf(profile), QStringLiteral("proto udp4\n") + QString::fromUtf8(content));
    QCOMPARE(QString::fromStdString(profile.eval().remoteHost), QStringLiteral("192.0.2.1"));
    QCOMPARE(QString::fromStdString(profile.eval().remotePort), QStringLiteral("1194"));
}

void TestOvpnDaemonProfile::forcesIpv4Transport_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QString>("expected");
    QTest::newRow("udp") << QByteArray("proto udp") << "proto udp4";
    QTest::newRow("udp6") << QByteArray("proto udp6") << "proto udp4";
    QTest::newRow("tcp") << QByteArray("proto tcp") << "proto tcp4-client";
    QTest::newRow("tcp6-client") << QByteArray("proto tcp6-client") << "proto tcp4-client";
    QTest::newRow("remote with tcp") << QByteArray("remote vpn.example 443 tcp") << "remote vpn.example 443 tcp4-client";
    QTest::newRow("remote with udp6") << QByteArray("remote vpn.example 1194 udp6") << "remote vpn.example 1194 udp4";
    QTest::newRow("ipv6 address dropped") << QByteArray("ifconfig-ipv6 fd00::2/64 fd00::1") << "";
    QTest::newRow("quoted proto") << QByteArray("\"proto\" 'tcp'") << "proto tcp4-client";
}

void TestOvpnDaemonProfile::forcesIpv4Transport()
{
    QFETCH(QByteArray, line);
    QFETCH(QString, expected);
    const ovpn::DaemonProfile profile(configFor("client\nremote 192.0.2.1\n" + line + '\n'));
    QVERIFY(!profile.eval().error);
    QCOMPARE(textOf(profile), QStringLiteral("proto udp4\nclient\nremote 192.0.2.1\n")
                                  + (expected.isEmpty() ? QString() : expected + QLatin1Char('\n')));
}

void TestOvpnDaemonProfile::credentialsStayInMemory()
{
    const ovpn::DaemonProfile profile(
        configFor("client\nremote 192.0.2.1\n<auth-user-pass>\nalice\ns3cret\n</auth-user-pass>\n"));
    QVERIFY(!profile.eval().error);
    QVERIFY(!profile.eval().autologin);
    QCOMPARE(QString::fromStdString(profile.inlineUsername()), QStringLiteral("alice"));
    QCOMPARE(QString::fromStdString(profile.inlinePassword()), QStringLiteral("s3cret"));
    QVERIFY(!textOf(profile).contains(QStringLiteral("s3cret")));
    QVERIFY(!textOf(profile).contains(QStringLiteral("auth-user-pass")));

    const ovpn::DaemonProfile asking(configFor("client\nremote 192.0.2.1\nauth-user-pass\n"));
    QVERIFY(!asking.eval().autologin);
    QVERIFY(textOf(asking).endsWith(QStringLiteral("\nauth-user-pass\n")));
}

void TestOvpnDaemonProfile::autologinWithoutAuthUserPass()
{
    const ovpn::DaemonProfile profile(configFor("client\nremote 192.0.2.1\n"));
    QVERIFY(!profile.eval().error);
    QVERIFY(profile.eval().autologin);
}

void TestOvpnDaemonProfile::failures_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("message");
    QTest::newRow("empty") << QByteArray() << "profile is empty";
    QTest::newRow("blank") << QByteArray(" \n\t\n") << "profile is empty";
    QTest::newRow("no remote") << QByteArray("client\ndev tun\n") << "profile names no remote server";
    QTest::newRow("open block") << QByteArray("client\nremote 192.0.2.1\n<ca>\nx\n")
                                << "profile refused: inline block <ca> opened on line 3 is not closed";
}

void TestOvpnDaemonProfile::failures()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, message);
    const ovpn::DaemonProfile profile(configFor(content));
    QVERIFY(profile.eval().error);
    QCOMPARE(QString::fromStdString(profile.eval().message), message);
    QVERIFY(profile.text().empty());
}

QTEST_GUILESS_MAIN(TestOvpnDaemonProfile)
#include "tst_ovpndaemonprofile.moc"
