#pragma once

#include <string>
#include <vector>

#include "vpn/ovpntypes.h"

// The openvpn daemon's command line. The application starting the daemon itself and the
// root helper starting it for a desktop user build it here, so the two cannot drift
// apart: the helper accepts nothing from its clients but the profile.
namespace ovpn {

// The client configuration every connection of the application uses; the caller adds
// the profile (content).
Config applicationConfig();

// The options that carry a client configuration to the daemon (those without an
// openvpn equivalent, and those applied to the profile text, add nothing).
std::vector<std::string> configOptions(const Config &config);

// The whole argument list: the profile, the management channel the daemon connects out
// to (a unix socket; when that connection drops, the daemon ends), held until released,
// credentials asked for over the channel and never cached, then the configuration's
// options. Options read before the profile (see below) come first.
std::vector<std::string> daemonArguments(const std::string &profilePath, const std::string &managementSocket,
                                         const std::vector<std::string> &options);

// The daemon's configuration as one file openvpn reads: the options that must precede
// the profile, the profile's text, then the remaining options and the fixed ones, all
// but the management channel, which is made for each session.
std::string daemonConfigText(const std::string &profileText, const std::vector<std::string> &options);

} // namespace ovpn
