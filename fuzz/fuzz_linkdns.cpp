// A tunnel's pushed name service settings as the helper's DNS backends check them
// (linkdns::checked). One setting a line: "S <server>", "D <search domain>",
// "R <routing domain>", "I <interface name>", "X <interface index>". Besides the
// sanitizers' findings: what is accepted is within the bounds, every domain is a plain
// lower-case name, every server a unicast address, and the record resolvconf would get
// holds exactly one line per server and at most one search line.

#include <QByteArray>
#include <QHostAddress>

#include <cstddef>
#include <cstdint>

#include "fuzzsupport.h"
#include "linkdnsbackends.h"
#include "linkdnscheck.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    LinkDns dns;
    dns.ifname = QStringLiteral("tun0");
    dns.ifindex = 3;
    for (const QByteArray &line : FuzzSupport::bytes(data, size).split('\n')) {
        if (line.size() < 2 || line.at(1) != ' ')
            continue;
        const QString value = QString::fromUtf8(line.mid(2));
        switch (line.at(0)) {
        case 'S': dns.servers.append(QHostAddress(value)); break;
        case 'D': dns.searchDomains.append(value); break;
        case 'R': dns.routingDomains.append(value); break;
        case 'I': dns.ifname = value; break;
        case 'X': dns.ifindex = value.toInt(); break;
        default: break;
        }
    }
    QString error;
    const std::optional<LinkDns> ok = linkdns::checked(dns, &error);
    if (!ok) {
        FuzzSupport::require(!error.isEmpty() && !error.contains(QLatin1Char('\n')),
                             "a refusal has a one-line reason", error.toStdString());
        return 0;
    }
    FuzzSupport::require(linkdns::isInterfaceName(ok->ifname) && ok->ifindex > 0, "the link is plain");
    FuzzSupport::require(!ok->servers.isEmpty() && ok->servers.size() <= linkdns::MaxServers,
                         "servers within bounds");
    FuzzSupport::require(ok->searchDomains.size() + ok->routingDomains.size() <= linkdns::MaxDomains,
                         "domains within bounds");
    for (const QHostAddress &server : ok->servers)
        FuzzSupport::require(linkdns::isServerAddress(server), "servers are unicast addresses");
    for (const QString &domain : ok->searchDomains + ok->routingDomains) {
        FuzzSupport::require(linkdns::isPlainDomainName(domain) && domain == domain.toLower()
                                 && !domain.endsWith(QLatin1Char('.')),
                             "domains are plain lower-case names", domain.toStdString());
        FuzzSupport::require(!(ok->searchDomains.contains(domain) && ok->routingDomains.contains(domain)),
                             "a domain is either searched or routing-only", domain.toStdString());
    }
    const QByteArray record = linkdns::resolvconfRecord(*ok);
    const QList<QByteArray> lines = record.split('\n');
    FuzzSupport::require(record.endsWith('\n')
                             && lines.size() - 1 == ok->servers.size() + (ok->searchDomains.isEmpty() ? 0 : 1),
                         "the record has a line per server and one search line", record.toStdString());
    return 0;
}
