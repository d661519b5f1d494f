#include "linkdnscheck.h"

#include <QSet>

namespace linkdns {

namespace {

bool isLabelCharacter(QChar c)
{
    const char16_t u = c.unicode();
    return (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') || u == '-';
}

QString normalizedDomain(const QString &name)
{
    QString out = name.toLower();
    if (out.endsWith(QLatin1Char('.')))
        out.chop(1);
    return out;
}

// Appends the checked, normalised domains of `in` to `out`, skipping those in `seen`.
bool addDomains(const QStringList &in, QStringList *out, QSet<QString> *seen, const char *kind,
                QString *error)
{
    for (const QString &domain : in) {
        if (!isPlainDomainName(domain)) {
            if (error) {
                // The value is the server's: only its size goes into the message when it
                // is too long to be a name, and control characters never do.
                QString shown = domain.left(MaxNameLength + 1);
                for (QChar &c : shown) {
                    if (c.unicode() < 0x20 || c.unicode() == 0x7f)
                        c = QLatin1Char('?');
                }
                *error = QStringLiteral("the %1 domain \"%2\" is not a plain DNS name of two labels or more")
                             .arg(QLatin1String(kind), shown);
            }
            return false;
        }
        const QString name = normalizedDomain(domain);
        if (seen->contains(name))
            continue;
        seen->insert(name);
        out->append(name);
    }
    return true;
}

}  // namespace

bool isInterfaceName(const QString &name)
{
    if (name.isEmpty() || name.size() > 15 || name.startsWith(QLatin1Char('-')))
        return false;
    for (QChar c : name) {
        const char16_t u = c.unicode();
        const bool ok = (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9')
                        || u == '_' || u == '-';
        if (!ok)
            return false;
    }
    return true;
}

bool isPlainDomainName(const QString &name)
{
    QString text = name;
    if (text.endsWith(QLatin1Char('.')))
        text.chop(1);
    if (text.isEmpty() || text.size() > MaxNameLength)
        return false;
    const QStringList labels = text.split(QLatin1Char('.'));
    if (labels.size() < 2)
        return false;
    for (const QString &label : labels) {
        if (label.isEmpty() || label.size() > MaxLabelLength || label.startsWith(QLatin1Char('-'))
            || label.endsWith(QLatin1Char('-')))
            return false;
        for (QChar c : label) {
            if (!isLabelCharacter(c))
                return false;
        }
    }
    // An all-digit last label would make a dotted address look like a domain.
    bool digits = true;
    for (QChar c : labels.last())
        digits = digits && c.isDigit();
    return !digits;
}

bool isServerAddress(const QHostAddress &address)
{
    if (address.isNull() || !address.scopeId().isEmpty())
        return false;
    if (address.protocol() == QAbstractSocket::IPv4Protocol) {
        // Unicast: 1.0.0.0 to 223.255.255.255, but for the loopback net and link-local.
        const quint32 v4 = address.toIPv4Address();
        const quint32 first = v4 >> 24;
        return first >= 1 && first <= 223 && first != 127 && (v4 >> 16) != 0xa9fe;
    }
    if (address.protocol() == QAbstractSocket::IPv6Protocol) {
        // Global unicast (2000::/3) and unique local (fc00::/7) only.
        const quint8 first = address.toIPv6Address()[0];
        return (first & 0xe0) == 0x20 || (first & 0xfe) == 0xfc;
    }
    return false;
}

std::optional<LinkDns> checked(const LinkDns &dns, QString *error)
{
    auto fail = [error](const QString &reason) {
        if (error)
            *error = reason;
        return std::nullopt;
    };
    if (!isInterfaceName(dns.ifname))
        return fail(QStringLiteral("the tunnel's interface name is not a plain interface name"));
    if (dns.ifindex <= 0)
        return fail(QStringLiteral("the tunnel's interface index %1 is not valid").arg(dns.ifindex));
    if (dns.servers.isEmpty())
        return fail(QStringLiteral("the server pushed no DNS server"));
    if (dns.servers.size() > MaxServers)
        return fail(QStringLiteral("the server pushed %1 DNS servers; at most %2 are taken")
                        .arg(dns.servers.size())
                        .arg(MaxServers));
    if (dns.searchDomains.size() + dns.routingDomains.size() > MaxDomains)
        return fail(QStringLiteral("the server pushed %1 domains; at most %2 are taken")
                        .arg(dns.searchDomains.size() + dns.routingDomains.size())
                        .arg(MaxDomains));

    LinkDns out;
    out.ifname = dns.ifname;
    out.ifindex = dns.ifindex;
    out.defaultRoute = dns.defaultRoute;
    for (const QHostAddress &server : dns.servers) {
        if (!isServerAddress(server))
            return fail(QStringLiteral("the pushed DNS server \"%1\" is not a unicast address a resolver may ask")
                            .arg(server.toString().left(64)));
        if (!out.servers.contains(server))
            out.servers.append(server);
    }
    QSet<QString> seen;
    if (!addDomains(dns.searchDomains, &out.searchDomains, &seen, "search", error))
        return std::nullopt;
    if (!addDomains(dns.routingDomains, &out.routingDomains, &seen, "routing", error))
        return std::nullopt;
    return out;
}

}  // namespace linkdns
