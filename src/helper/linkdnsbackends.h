#pragma once

#include "linkdns.h"

#include <QByteArray>

// The backends behind LinkDnsConfigurator::detect(), for the helper and its tests.
namespace linkdns {

// systemd-resolved, when its name is owned on the system bus now; else nothing.
std::unique_ptr<LinkDnsConfigurator> makeResolved();
// resolvconf at `program` (an absolute path that trustedResolvconf() gave).
std::unique_ptr<LinkDnsConfigurator> makeResolvconf(const QString &program);
// Applies nothing and says so.
std::unique_ptr<LinkDnsConfigurator> makeNone();

// The resolvconf program the helper may run: /usr/sbin/resolvconf, or /sbin/resolvconf
// when /sbin is a directory of its own; a regular file (not a link) of root that only
// root may write, in a directory of root that only root may write. Empty when none is.
QString trustedResolvconf();
// The record given to "resolvconf -a" for checked settings (see checked()).
QByteArray resolvconfRecord(const LinkDns &dns);
// The record's name: "<ifname>.corrivo2".
QString resolvconfRecordName(const QString &ifname);

}  // namespace linkdns
