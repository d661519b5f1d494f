#include <QtTest>

#include "vpn/ovpndaemonprofile.h"

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
    void refusesCommandsAndFiles_data();
    void refusesCommandsAndFiles();
    void keepsOrdinaryDirectives();
    void forcesIpv4Transport_data();
    void forcesIpv4Transport();
    void credentialsStayInMemory();
    void autologinWithoutAuthUserPass();
    void failures_data();
    void failures();
};

void TestOvpnDaemonProfile::refusesCommandsAndFiles_data()
{
    QTest::addColumn<QByteArray>("line");
    for (const char *line : {"up /tmp/evil.sh", "down \"/bin/sh -c id\"", "--route-up /x", "script-security 3",
                             "plugin /lib/evil.so", "management 0.0.0.0 7505", "status /etc/passwd",
                             "log /etc/shadow", "writepid /etc/x", "config other.conf", "askpass /root/pass",
                             "tls-verify /x", "learn-address /x", "ipchange /x", "  iproute /bin/evil",
                             "persist-tun", "dev-node /dev/sda", "cd /", "chroot /tmp", "daemon", "engine dynamic",
                             "providers legacy", "crl-verify /etc dir", "route-pre-down /x", "tmp-dir /tmp"}) {
        QTest::newRow(line) << QByteArray(line);
    }
}

void TestOvpnDaemonProfile::refusesCommandsAndFiles()
{
    QFETCH(QByteArray, line);
    const ovpn::DaemonProfile profile(configFor("client\nremote 192.0.2.1\n" + line + "\nverb 3\n"));
    QVERIFY(!profile.eval().error);
    QVERIFY2(!textOf(profile).contains(QString::fromUtf8(line.trimmed())), qPrintable(textOf(profile)));
    QVERIFY(textOf(profile).contains(QStringLiteral("verb 3\n")));
    QCOMPARE(profile.removed().size(), std::size_t(1));
}

void TestOvpnDaemonProfile::keepsOrdinaryDirectives()
{
    const QByteArray content = "client\ndev tun\nremote 192.0.2.1 1194\nnobind\nremote-cert-tls server\n"
                               "<ca>\nup inside a block is data\n</ca>\ncipher AES-256-GCM\nverb 3\n";
    const ovpn::DaemonProfile profile(configFor(content));
    QVERIFY(!profile.eval().error);
    QVERIFY(profile.removed().empty());
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

    const ovpn::DaemonProfile asking(configFor("client\nremote 192.0.2.1\nauth-user-pass /etc/creds\n"));
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
    QTest::newRow("open block") << QByteArray("client\nremote 192.0.2.1\n<ca>\nx\n") << "inline block <ca> is not closed";
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
