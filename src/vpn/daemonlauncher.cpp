#include "vpn/daemonlauncher.h"

#include <unistd.h>

#include "vpn/directdaemonlauncher.h"
#include "vpn/helperdaemonlauncher.h"

namespace ovpn {

DaemonLauncher::Mode DaemonLauncher::mode()
{
    const QByteArray forced = qgetenv("CORRIVO_VPN_LAUNCH");
    if (forced == "direct")
        return Mode::Direct;
    if (forced == "helper")
        return Mode::Helper;
    return ::geteuid() == 0 ? Mode::Direct : Mode::Helper;
}

std::unique_ptr<DaemonLauncher> DaemonLauncher::create(Mode mode)
{
    switch (mode) {
    case Mode::Direct:
        return std::make_unique<DirectDaemonLauncher>();
    case Mode::Helper:
        return std::make_unique<HelperDaemonLauncher>();
    }
    return nullptr;
}

} // namespace ovpn
