#pragma once

#include <QtGlobal>

#include <sys/types.h>

// Who is at the other end of a connected unix socket, as the kernel recorded it when
// that process connected (or, for a socket we connected, when the peer called listen()).
struct PeerCredentials
{
    bool valid = false;
    uid_t uid = 0;
    gid_t gid = 0;
    pid_t pid = 0;

    static PeerCredentials of(qintptr socketDescriptor);
};
