// The checks the DNS backends make on a tunnel's pushed settings before anything is
// applied, the record resolvconf gets, and the backend that applies nothing.
#include "linkdnsbackends.h"
#include "linkdnscheck.h"

#include <QtTest>

Q_DECLARE_METATYPE(LinkDns)

namespace {

LinkDns good()
{
    LinkDns dns;
    dns.ifname = QStringLiteral("tun0");
    dns.ifindex = 7;
    dns.servers = {QHostAddress(QStringLiteral("10.203.1.1"))};
    dns.searchDomains = {QStringLiteral("lab.corrivo.test")};
    return dns;
}

}  // namespace

class TestLinkDns : public QObject
{
    Q_OBJECT

private slots:
    void domainNames_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("plain") << "lab.corrivo.test" << true;
        QTest::newRow("trailing dot") << "corrivo.test." << true;
        QTest::newRow("hyphen inside") << "plant-north.corrivo.test" << true;
        QTest::newRow("digits") << "site1.example.com" << true;
        QTest::newRow("63-char label") << QString(63, QLatin1Char('a')) + QStringLiteral(".test") << true;
        QTest::newRow("253 chars") << QString(QString(63, QLatin1Char('a')) + QLatin1Char('.')).repeated(3) + QString(61, QLatin1Char('b')) << true;
        QTest::newRow("254 chars") << QString(QString(63, QLatin1Char('a')) + QLatin1Char('.')).repeated(3) + QString(62, QLatin1Char('b')) << false;
        QTest::newRow("64-char label") << QString(64, QLatin1Char('a')) + QStringLiteral(".test") << false;
        QTest::newRow("empty") << "" << false;
        QTest::newRow("root") << "." << false;
        QTest::newRow("single label") << "com" << false;
        QTest::newRow("single label with dot") << "local." << false;
        QTest::newRow("empty label") << "a..test" << false;
        QTest::newRow("leading dot") << ".corrivo.test" << false;
        QTest::newRow("two trailing dots") << "corrivo.test.." << false;
        QTest::newRow("leading hyphen") << "-a.test" << false;
        QTest::newRow("trailing hyphen") << "a-.test" << false;
        QTest::newRow("routing tilde") << "~corrivo.test" << false;
        QTest::newRow("blank") << "corrivo test.x" << false;
        QTest::newRow("newline") << "corrivo.test\nnameserver 1.2.3.4" << false;
        QTest::newRow("tab") << "corrivo.\ttest" << false;
        QTest::newRow("nul") << QString::fromUtf8("corrivo.te\0st", 13) << false;
        QTest::newRow("slash") << "../etc.test" << false;
        QTest::newRow("underscore") << "_srv.corrivo.test" << false;
        QTest::newRow("wildcard") << "*.corrivo.test" << false;
        QTest::newRow("non-ascii") << QString::fromUtf8("caf\u00e9.test") << false;
        QTest::newRow("dotted address") << "10.203.1.1" << false;
        QTest::newRow("option-like") << "-d.test" << false;
    }
    void domainNames()
    {
        QFETCH(QString, name);
        QFETCH(bool, accepted);
        QCOMPARE(linkdns::isPlainDomainName(name), accepted);
    }

    void serverAddresses_data()
    {
        QTest::addColumn<QString>("address");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("ipv4") << "10.203.1.1" << true;
        QTest::newRow("ipv6") << "fd00:1::53" << true;
        QTest::newRow("public") << "192.0.2.53" << true;
        QTest::newRow("unspecified v4") << "0.0.0.0" << false;
        QTest::newRow("unspecified v6") << "::" << false;
        QTest::newRow("loopback v4") << "127.0.0.53" << false;
        QTest::newRow("loopback v6") << "::1" << false;
        QTest::newRow("broadcast") << "255.255.255.255" << false;
        QTest::newRow("multicast v4") << "224.0.0.251" << false;
        QTest::newRow("multicast v6") << "ff02::fb" << false;
        QTest::newRow("link-local v4") << "169.254.1.1" << false;
        QTest::newRow("link-local v6") << "fe80::1" << false;
        QTest::newRow("scoped") << "fe80::1%tun0" << false;
        QTest::newRow("mapped v4") << "::ffff:10.0.0.1" << false;
        QTest::newRow("last unicast v4") << "223.255.255.254" << true;
        QTest::newRow("reserved v4") << "240.0.0.1" << false;
        QTest::newRow("this network") << "0.1.2.3" << false;
        QTest::newRow("global v6") << "2001:db8::53" << true;
        QTest::newRow("documentation-less v6 prefix") << "4000::1" << false;
        QTest::newRow("site-local v6") << "fec0::1" << false;
        QTest::newRow("not an address") << "dns.example.com" << false;
        QTest::newRow("empty") << "" << false;
    }
    void serverAddresses()
    {
        QFETCH(QString, address);
        QFETCH(bool, accepted);
        QCOMPARE(linkdns::isServerAddress(QHostAddress(address)), accepted);
    }

    void interfaceNames_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("tun0") << "tun0" << true;
        QTest::newRow("15 chars") << "abcdefghijklmno" << true;
        QTest::newRow("16 chars") << "abcdefghijklmnop" << false;
        QTest::newRow("empty") << "" << false;
        QTest::newRow("option") << "-d" << false;
        QTest::newRow("dot") << "tun0.x" << false;
        QTest::newRow("slash") << "../x" << false;
        QTest::newRow("blank") << "tun 0" << false;
        QTest::newRow("newline") << "tun0\n" << false;
    }
    void interfaceNames()
    {
        QFETCH(QString, name);
        QFETCH(bool, accepted);
        QCOMPARE(linkdns::isInterfaceName(name), accepted);
    }

    // Whole settings: one hostile value refuses all of it, with a reason.
    void refusedSettings_data()
    {
        QTest::addColumn<LinkDns>("dns");
        QTest::addColumn<QString>("reason");
        LinkDns d = good();
        d.servers.clear();
        QTest::newRow("no server") << d << "pushed no DNS server";
        d = good();
        d.servers = QList<QHostAddress>(linkdns::MaxServers + 1, QHostAddress(QStringLiteral("10.0.0.1")));
        QTest::newRow("too many servers") << d << "9 DNS servers; at most 8";
        d = good();
        d.servers.append(QHostAddress(QStringLiteral("127.0.0.1")));
        QTest::newRow("loopback server") << d << "\"127.0.0.1\" is not a unicast address";
        d = good();
        d.servers.append(QHostAddress());
        QTest::newRow("unparsed server") << d << "is not a unicast address";
        d = good();
        d.searchDomains.append(QStringLiteral("corrivo.test\nnameserver 6.6.6.6"));
        QTest::newRow("injected line") << d << "\"corrivo.test?nameserver 6.6.6.6\" is not a plain DNS name";
        d = good();
        d.routingDomains.append(QStringLiteral("com"));
        QTest::newRow("routing a TLD") << d << "routing domain \"com\"";
        d = good();
        d.searchDomains.append(QString(300, QLatin1Char('a')));
        QTest::newRow("long domain") << d << "is not a plain DNS name";
        d = good();
        for (int i = 0; i < linkdns::MaxDomains; ++i)
            d.routingDomains.append(QStringLiteral("d%1.test").arg(i));
        QTest::newRow("too many domains") << d << "17 domains; at most 16";
        d = good();
        d.ifname = QStringLiteral("-d");
        QTest::newRow("interface name") << d << "interface name";
        d = good();
        d.ifindex = 0;
        QTest::newRow("interface index") << d << "interface index 0";
    }
    void refusedSettings()
    {
        QFETCH(LinkDns, dns);
        QFETCH(QString, reason);
        QString error;
        QVERIFY(!linkdns::checked(dns, &error));
        QVERIFY2(error.contains(reason), qPrintable(error));
        QVERIFY2(!error.contains(QLatin1Char('\n')), qPrintable(error));
    }

    void normalisedSettings()
    {
        LinkDns dns = good();
        dns.servers.append(QHostAddress(QStringLiteral("10.203.1.1")));
        dns.servers.append(QHostAddress(QStringLiteral("fd00::53")));
        dns.searchDomains = {QStringLiteral("Lab.Corrivo.TEST."), QStringLiteral("lab.corrivo.test")};
        dns.routingDomains = {QStringLiteral("lab.corrivo.test"), QStringLiteral("corrivo.test")};
        dns.defaultRoute = true;
        QString error;
        const std::optional<LinkDns> ok = linkdns::checked(dns, &error);
        QVERIFY2(ok, qPrintable(error));
        QCOMPARE(ok->servers, QList<QHostAddress>({QHostAddress(QStringLiteral("10.203.1.1")),
                                                   QHostAddress(QStringLiteral("fd00::53"))}));
        QCOMPARE(ok->searchDomains, QStringList{QStringLiteral("lab.corrivo.test")});
        QCOMPARE(ok->routingDomains, QStringList{QStringLiteral("corrivo.test")});
        QCOMPARE(ok->ifname, QStringLiteral("tun0"));
        QCOMPARE(ok->ifindex, 7);
        QVERIFY(ok->defaultRoute);

        QCOMPARE(linkdns::resolvconfRecord(*ok),
                 QByteArray("nameserver 10.203.1.1\nnameserver fd00::53\nsearch lab.corrivo.test\n"));
        QCOMPARE(linkdns::resolvconfRecordName(ok->ifname), QStringLiteral("tun0.corrivo2"));
    }

    // Every backend refuses hostile settings before it asks anyone; the one without a
    // resolver says why nothing was applied.
    void noneGivesItsReason()
    {
        auto none = linkdns::makeNone();
        QCOMPARE(none->method(), LinkDnsConfigurator::Method::None);
        QString error;
        QVERIFY(!none->apply(good(), &error));
        QCOMPARE(error, QStringLiteral("neither systemd-resolved nor resolvconf is available"));
    }

    void resolvconfRefusesBeforeRunning()
    {
        // A program that would succeed if it ran: the refusal must come first.
        auto backend = linkdns::makeResolvconf(QStringLiteral("/bin/true"));
        LinkDns dns = good();
        dns.searchDomains = {QStringLiteral("-x.test")};
        QString error;
        QVERIFY(!backend->apply(dns, &error));
        QVERIFY2(error.contains(QLatin1String("not a plain DNS name")), qPrintable(error));
        QVERIFY(backend->apply(good(), &error));
    }

    void noSystemBusNoResolved()
    {
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/corrivo2-test/system_bus_socket");
        QVERIFY(!linkdns::makeResolved());
        qunsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    }
};

QTEST_GUILESS_MAIN(TestLinkDns)
#include "tst_linkdns.moc"
