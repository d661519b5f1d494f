#include "linkdns.h"

#include "linkdnsbackends.h"

namespace linkdns {

namespace {

class NoLinkDns final : public LinkDnsConfigurator
{
public:
    Method method() const override { return Method::None; }
    bool apply(const LinkDns &, QString *error) override
    {
        if (error)
            *error = QStringLiteral("neither systemd-resolved nor resolvconf is available");
        return false;
    }
    void revert(const QString &, int) override {}
};

}  // namespace

std::unique_ptr<LinkDnsConfigurator> makeNone()
{
    return std::make_unique<NoLinkDns>();
}

}  // namespace linkdns

std::unique_ptr<LinkDnsConfigurator> LinkDnsConfigurator::detect()
{
    if (auto resolved = linkdns::makeResolved())
        return resolved;
    const QString resolvconf = linkdns::trustedResolvconf();
    if (!resolvconf.isEmpty())
        return linkdns::makeResolvconf(resolvconf);
    return linkdns::makeNone();
}
