#include "peercredentials.h"

#include <sys/socket.h>

PeerCredentials PeerCredentials::of(qintptr socketDescriptor)
{
    PeerCredentials credentials;
    struct ucred peer = {};
    socklen_t length = sizeof(peer);
    if (socketDescriptor >= 0
        && ::getsockopt(int(socketDescriptor), SOL_SOCKET, SO_PEERCRED, &peer, &length) == 0
        && length == sizeof(peer)) {
        credentials.valid = true;
        credentials.uid = peer.uid;
        credentials.gid = peer.gid;
        credentials.pid = peer.pid;
    }
    return credentials;
}
