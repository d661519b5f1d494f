#pragma once

#include "linkdns.h"

#include <optional>

// The checks every backend makes before it hands a link's settings to anyone: the
// values come from the tunnel's server, which may be hostile.
namespace linkdns {

inline constexpr int MaxServers = 8;
inline constexpr int MaxDomains = 16;  // search and routing-only domains together
inline constexpr int MaxNameLength = 253;
inline constexpr int MaxLabelLength = 63;

// An interface name the kernel could have given (1 to 15 of letters, digits, "_", "-",
// not starting with "-"); it also names the link's record for resolvconf.
bool isInterfaceName(const QString &name);
// A domain of two labels or more, each 1 to 63 letters, digits or hyphens, neither
// starting nor ending with a hyphen; 253 characters at most; one trailing dot allowed.
// Single labels ("com", "local") are refused: a tunnel must not claim a whole TLD.
bool isPlainDomainName(const QString &name);
// A unicast address a resolver may ask: IPv4 from 1.0.0.0 to 223.255.255.255 without
// 127/8 and 169.254/16, or IPv6 global unicast (2000::/3) or unique local (fc00::/7),
// without a scope.
bool isServerAddress(const QHostAddress &address);

// The settings as a backend should apply them (domains lower case without the trailing
// dot, duplicates folded, a routing-only domain that is also searched dropped), or
// nothing with the reason.
std::optional<LinkDns> checked(const LinkDns &dns, QString *error);

}  // namespace linkdns
