#pragma once

#include <functional>

// Moves bytes both ways between two non-blocking descriptors until one side ends,
// flushing what that side sent before it ended. Shared by the pair holder of setupc
// (master to master) and by com2tcp (serial end to TCP socket).
namespace ByteRelay {

enum class End {
    FirstEnded,
    SecondEnded,
    Stopped,
};

// keepGoing is asked at least every tickMs; returning false ends the relay at once.
End run(int first, int second, const std::function<bool()> &keepGoing, int tickMs);

// Switches a descriptor to non-blocking mode; false on failure.
bool setNonBlocking(int fd);

// Raw mode on a terminal: every byte value passes unchanged, no echo, no signals.
bool setRawMode(int fd);

} // namespace ByteRelay
