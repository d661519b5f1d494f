// Applies and reverts a link's DNS settings through one backend, for the tests that run
// it inside a namespace of their own (linkdns_sandbox.sh).
//
//   linkdnstool detect
//   linkdnstool apply  METHOD IFNAME [--server A]... [--search D]... [--routing D]... [--default-route]
//   linkdnstool revert METHOD IFNAME [IFINDEX]
//
// METHOD: detect, resolved, resolvconf or none. "apply" prints "applied" or
// "not applied: <reason>" (exit code 0 or 1).
#include "linkdnsbackends.h"

#include <QCoreApplication>
#include <QTextStream>

#include <net/if.h>

namespace {

const char *methodName(LinkDnsConfigurator::Method method)
{
    switch (method) {
    case LinkDnsConfigurator::Method::Resolved: return "resolved";
    case LinkDnsConfigurator::Method::Resolvconf: return "resolvconf";
    case LinkDnsConfigurator::Method::None: break;
    }
    return "none";
}

std::unique_ptr<LinkDnsConfigurator> configurator(const QString &method)
{
    if (method == QLatin1String("detect"))
        return LinkDnsConfigurator::detect();
    if (method == QLatin1String("resolved"))
        return linkdns::makeResolved();
    if (method == QLatin1String("resolvconf")) {
        const QString program = linkdns::trustedResolvconf();
        return program.isEmpty() ? nullptr : linkdns::makeResolvconf(program);
    }
    if (method == QLatin1String("none"))
        return linkdns::makeNone();
    return nullptr;
}

int usage()
{
    QTextStream(stderr) << "usage: linkdnstool detect | apply METHOD IFNAME [--server A] [--search D] "
                           "[--routing D] [--default-route] | revert METHOD IFNAME [IFINDEX]\n";
    return 2;
}

}  // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    QTextStream out(stdout);
    if (args.value(0) == QLatin1String("detect") && args.size() == 1) {
        out << methodName(LinkDnsConfigurator::detect()->method()) << '\n';
        return 0;
    }
    if (args.size() < 3)
        return usage();
    const QString command = args.takeFirst();
    const QString method = args.takeFirst();
    const QString ifname = args.takeFirst();
    auto backend = configurator(method);
    if (!backend) {
        QTextStream(stderr) << "linkdnstool: " << method << " is not available here\n";
        return 3;
    }
    const int ifindex = int(if_nametoindex(ifname.toLocal8Bit().constData()));

    if (command == QLatin1String("revert")) {
        backend->revert(ifname, args.isEmpty() ? ifindex : args.first().toInt());
        out << "reverted\n";
        return 0;
    }
    if (command != QLatin1String("apply"))
        return usage();
    LinkDns dns;
    dns.ifname = ifname;
    dns.ifindex = ifindex;
    while (!args.isEmpty()) {
        const QString option = args.takeFirst();
        if (option == QLatin1String("--default-route")) {
            dns.defaultRoute = true;
            continue;
        }
        if (args.isEmpty())
            return usage();
        const QString value = args.takeFirst();
        if (option == QLatin1String("--server"))
            dns.servers.append(QHostAddress(value));
        else if (option == QLatin1String("--search"))
            dns.searchDomains.append(value);
        else if (option == QLatin1String("--routing"))
            dns.routingDomains.append(value);
        else
            return usage();
    }
    QString error;
    if (!backend->apply(dns, &error)) {
        out << "not applied: " << error << '\n';
        return 1;
    }
    out << "applied " << methodName(backend->method()) << '\n';
    return 0;
}
