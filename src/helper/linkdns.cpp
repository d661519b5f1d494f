#include "linkdns.h"

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

std::unique_ptr<LinkDnsConfigurator> LinkDnsConfigurator::detect()
{
    return std::make_unique<NoLinkDns>();
}
