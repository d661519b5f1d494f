#pragma once

#include <QList>
#include <QString>

#include <sys/types.h>

// What the tests look at in /proc and /sys to see that no daemon and no tunnel of
// theirs is left behind.
namespace VpnProcesses {

// Processes named "openvpn" whose parent is the given process.
QList<pid_t> openvpnChildren(pid_t parent);

// True while the process exists and is not a zombie.
bool isAlive(pid_t pid);

// The tun interfaces the process holds open (from /proc/<pid>/fdinfo).
QStringList tunInterfaces(pid_t pid);

bool interfaceExists(const QString &name);

} // namespace VpnProcesses
