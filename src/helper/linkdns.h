#pragma once

#include <QHostAddress>
#include <QList>
#include <QString>
#include <QStringList>

#include <memory>

// The name service settings a tunnel brings for its own link: the servers the server
// pushed ("dhcp-option DNS"/"dns server"), and the domains (search domains, and
// routing-only domains that send queries for a name to this link without being
// searched). They apply to that link only and are reverted when the session ends.
struct LinkDns {
    QString ifname;
    int ifindex = 0;
    QList<QHostAddress> servers;
    QStringList searchDomains;
    QStringList routingDomains;
    // The tunnel takes the default route (redirect-gateway): names outside its domains
    // are asked on this link too. Otherwise only its domains go there.
    bool defaultRoute = false;

    bool isEmpty() const { return servers.isEmpty(); }
};

// Applies a link's DNS settings through whatever the machine resolves names with:
// systemd-resolved (its D-Bus interface, per link), else resolvconf, else nothing.
class LinkDnsConfigurator
{
public:
    enum class Method { Resolved, Resolvconf, None };

    virtual ~LinkDnsConfigurator() = default;

    // Picks the method the machine offers now.
    static std::unique_ptr<LinkDnsConfigurator> detect();

    virtual Method method() const = 0;
    // False, with the reason, when nothing could be applied.
    virtual bool apply(const LinkDns &dns, QString *error) = 0;
    // Idempotent; also for a link a dead helper left behind (the link may be gone).
    virtual void revert(const QString &ifname, int ifindex) = 0;
};
