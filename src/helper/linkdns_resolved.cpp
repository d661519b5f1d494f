// systemd-resolved's per-link settings, through its D-Bus interface on the system bus.
#include "helperlog.h"
#include "linkdnsbackends.h"
#include "linkdnscheck.h"

#include <QAtomicInteger>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>

#include <net/if.h>
#include <sys/socket.h>

namespace {

const QString ResolvedService = QStringLiteral("org.freedesktop.resolve1");
const QString ResolvedPath = QStringLiteral("/org/freedesktop/resolve1");
const QString ResolvedManager = QStringLiteral("org.freedesktop.resolve1.Manager");
// Every call waits at most this long: the helper serves other clients meanwhile.
constexpr int CallTimeoutMs = 3000;

// One element of SetLinkDNS's a(iay): the address family and the address's bytes.
struct ResolvedServer {
    qint32 family = 0;
    QByteArray address;
};

// One element of SetLinkDomains's a(sb): the domain and whether it only routes.
struct ResolvedDomain {
    QString name;
    bool routingOnly = false;
};

QDBusArgument &operator<<(QDBusArgument &argument, const ResolvedServer &server)
{
    argument.beginStructure();
    argument << server.family << server.address;
    argument.endStructure();
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument, ResolvedServer &server)
{
    argument.beginStructure();
    argument >> server.family >> server.address;
    argument.endStructure();
    return argument;
}

QDBusArgument &operator<<(QDBusArgument &argument, const ResolvedDomain &domain)
{
    argument.beginStructure();
    argument << domain.name << domain.routingOnly;
    argument.endStructure();
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument, ResolvedDomain &domain)
{
    argument.beginStructure();
    argument >> domain.name >> domain.routingOnly;
    argument.endStructure();
    return argument;
}

}  // namespace

Q_DECLARE_METATYPE(ResolvedServer)
Q_DECLARE_METATYPE(ResolvedDomain)

namespace linkdns {

namespace {

void registerTypes()
{
    static const bool once = [] {
        qDBusRegisterMetaType<ResolvedServer>();
        qDBusRegisterMetaType<QList<ResolvedServer>>();
        qDBusRegisterMetaType<ResolvedDomain>();
        qDBusRegisterMetaType<QList<ResolvedDomain>>();
        return true;
    }();
    Q_UNUSED(once);
}

ResolvedServer toResolved(const QHostAddress &address)
{
    ResolvedServer server;
    if (address.protocol() == QAbstractSocket::IPv4Protocol) {
        server.family = AF_INET;
        const quint32 v4 = address.toIPv4Address();
        server.address = QByteArray(4, '\0');
        for (int i = 0; i < 4; ++i)
            server.address[i] = char((v4 >> (24 - 8 * i)) & 0xff);
    } else {
        server.family = AF_INET6;
        const Q_IPV6ADDR v6 = address.toIPv6Address();
        server.address = QByteArray(reinterpret_cast<const char *>(v6.c), 16);
    }
    return server;
}

class ResolvedLinkDns final : public LinkDnsConfigurator
{
public:
    explicit ResolvedLinkDns(const QString &connectionName)
        : m_name(connectionName)
    {
    }
    ~ResolvedLinkDns() override { QDBusConnection::disconnectFromBus(m_name); }

    Method method() const override { return Method::Resolved; }

    bool apply(const LinkDns &dns, QString *error) override
    {
        const std::optional<LinkDns> ok = checked(dns, error);
        if (!ok)
            return false;
        QList<ResolvedServer> servers;
        for (const QHostAddress &address : ok->servers)
            servers.append(toResolved(address));
        QList<ResolvedDomain> domains;
        for (const QString &name : ok->searchDomains)
            domains.append({name, false});
        for (const QString &name : ok->routingDomains)
            domains.append({name, true});

        const bool done = call(QStringLiteral("SetLinkDNS"),
                               {ok->ifindex, QVariant::fromValue(servers)}, error)
                          && call(QStringLiteral("SetLinkDomains"),
                                  {ok->ifindex, QVariant::fromValue(domains)}, error)
                          && call(QStringLiteral("SetLinkDefaultRoute"), {ok->ifindex, ok->defaultRoute},
                                  error);
        QString revertError;
        if (!done && !call(QStringLiteral("RevertLink"), {ok->ifindex}, &revertError))
            helperLog(QStringLiteral("the DNS settings of %1 were not reverted: %2").arg(ok->ifname, revertError));
        return done;
    }

    void revert(const QString &ifname, int ifindex) override
    {
        if (ifindex <= 0 || !isInterfaceName(ifname))
            return;
        // A link that has gone took its settings with it; an index that now names
        // another link is not this tunnel's.
        char name[IF_NAMESIZE] = {};
        if (!if_indextoname(unsigned(ifindex), name) || QString::fromLatin1(name) != ifname)
            return;
        QString error;
        if (!call(QStringLiteral("RevertLink"), {ifindex}, &error))
            helperLog(QStringLiteral("the DNS settings of %1 were not reverted: %2").arg(ifname, error));
    }

private:
    bool call(const QString &method, const QVariantList &arguments, QString *error)
    {
        QDBusMessage message = QDBusMessage::createMethodCall(ResolvedService, ResolvedPath, ResolvedManager, method);
        message.setArguments(arguments);
        const QDBusMessage reply =
            QDBusConnection(m_name).call(message, QDBus::Block, CallTimeoutMs);
        if (reply.type() == QDBusMessage::ReplyMessage)
            return true;
        if (error)
            *error = QStringLiteral("systemd-resolved refused %1: %2")
                         .arg(method, reply.errorMessage().left(200));
        return false;
    }

    QString m_name;
};

}  // namespace

std::unique_ptr<LinkDnsConfigurator> makeResolved()
{
    registerTypes();
    static QAtomicInteger<int> counter;
    const QString name = QStringLiteral("corrivo2-linkdns-%1").arg(counter.fetchAndAddRelaxed(1));
    QDBusConnection bus = QDBusConnection::connectToBus(QDBusConnection::SystemBus, name);
    if (!bus.isConnected()) {
        QDBusConnection::disconnectFromBus(name);
        return nullptr;
    }
    // Owned now, not merely activatable: a service the bus would start on demand is
    // not what the machine resolves names with.
    QDBusMessage query = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("NameHasOwner"));
    query << ResolvedService;
    const QDBusMessage reply = bus.call(query, QDBus::Block, CallTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().value(0).toBool() != true) {
        QDBusConnection::disconnectFromBus(name);
        return nullptr;
    }
    return std::make_unique<ResolvedLinkDns>(name);
}

}  // namespace linkdns
