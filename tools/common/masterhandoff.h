#pragma once

#include <string>

// The hand-over of a pair's terminal from its holder to a relay. The holder keeps the
// master of the pseudo-terminal a program opens; a relay connects to the holder's unix
// socket in the pairs' private directory and receives a copy of that master
// (SCM_RIGHTS). The connection stays open while the relay works: its end tells the
// holder the relay is gone, and the holder's end tells the relay the pair is gone.
//
// Both sides check the other's user (SO_PEERCRED) and accept only their own; the
// directory is ours, 0700, and opened without following a link, and every name in it
// is reached relative to that opened directory.
namespace MasterHandoff {

// Opens (and with create, makes) the private directory at path: a directory, not a
// link, owned by this user, made 0700 if it was wider. -1 with errno set otherwise
// (EPERM: someone else's).
int openPrivateDirectory(const std::string &path, bool create);

// The socket's name in the private directory for the relay end called name.
std::string socketName(const std::string &name);

// Holder: a listening socket bound to name inside the directory dirFd; -1 on failure.
int listenIn(int dirFd, const std::string &name);

// Holder: answers one relay on connection (from accept). Sends master when the peer is
// this user and busy is false; refuses otherwise. True when the master went out.
bool serve(int connection, int master, bool busy);

enum class Result {
    Taken,    // master and lease are set
    NoPair,   // no socket of that name: not one of our pairs
    Refused,  // the holder said no, or the peer is not ours
    Failed,   // the socket is there but the exchange did not work
};

// Relay: asks the holder behind name in dirFd for the master. On Taken, master is the
// terminal and lease the connection to keep open while relaying. error says why not.
Result take(int dirFd, const std::string &name, int &master, int &lease, std::string &error);

} // namespace MasterHandoff
