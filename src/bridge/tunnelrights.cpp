#include "bridge/tunnelrights.h"

#include <QElapsedTimer>

#include <unistd.h>

#include "vpn/daemonlauncher.h"
#include "vpn/helperclient.h"

namespace {

// The helper answers at once when it runs; the bound only matters for a stuck one.
constexpr int CheckTimeoutMs = 2000;
constexpr qint64 KeepAnswerMs = 3000;

} // namespace

TunnelRights::Answer TunnelRights::current()
{
    if (ovpn::DaemonLauncher::mode() == ovpn::DaemonLauncher::Mode::Direct) {
        if (::geteuid() == 0)
            return {true, QString()};
        return {false, QStringLiteral("Corrivo 2 runs without root rights (uid %1) and CORRIVO_VPN_LAUNCH=direct "
                                      "keeps it from asking the helper corrivo2-helper")
                           .arg(::geteuid())};
    }

    // GUI thread only: one answer for the socket it came from.
    static QElapsedTimer age;
    static QString askedAt;
    static Answer kept;
    const QString socket = ovpn::HelperClient::socketPath();
    if (!age.isValid() || age.hasExpired(KeepAnswerMs) || askedAt != socket) {
        const ovpn::HelperClient::Answer answer = ovpn::HelperClient::check(CheckTimeoutMs);
        kept = {answer.accepted, answer.accepted ? QString() : answer.problem};
        askedAt = socket;
        age.start();
    }
    return kept;
}
