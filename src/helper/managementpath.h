#pragma once

#include <QString>

#include <sys/types.h>

// The unix socket a client names for its management channel. The helper, as root,
// connects there and hands the daemon's channel over, so the socket must be the user's
// own: an absolute path without "." or ".." components, short enough for a socket
// address, in a directory that is a real directory (not a link) owned by the user with
// mode 0700, and itself a socket owned by the user, both looked at without following
// links. The user can still swap the entry after these checks; the connection's peer
// credentials settle that (see HelperSession).
namespace ManagementPath {

// The longest path a socket address holds (sun_path, with its terminating NUL).
constexpr int MaxBytes = 107;

// Why the path cannot be the management socket of the user uid; empty when it can.
QString problem(const QString &path, uid_t uid);

} // namespace ManagementPath
