#pragma once

#include <functional>

// Moves bytes both ways between two non-blocking descriptors until one side ends,
// flushing what that side sent before it ended: com2tcp's relay between the port's
// terminal and the TCP socket. setupc uses only the terminal set-up below.
namespace ByteRelay {

enum class End {
    FirstEnded,
    SecondEnded,
    Stopped,
};

// keepGoing is asked at least every tickMs; returning false ends the relay at once.
End run(int first, int second, const std::function<bool()> &keepGoing, int tickMs);

// Sees every piece of bytes as it is read, before it is passed on. direction 0 is
// first to second, 1 second to first. Called on the relay's thread, in the byte path:
// it must not block.
class Observer
{
public:
    virtual ~Observer() = default;
    virtual void passed(int direction, const char *data, size_t size) = 0;
};

struct Hooks
{
    std::function<bool()> keepGoing; // as above; may be empty
    int tickMs = -1;
    Observer *observer = nullptr;
    // A descriptor whose end (or any input) counts as the end of the first side: the
    // lease of a terminal handed over by its holder.
    int firstWatch = -1;
};

End run(int first, int second, const Hooks &hooks);

// Switches a descriptor to non-blocking mode; false on failure.
bool setNonBlocking(int fd);

// Raw mode on a terminal: every byte value passes unchanged, no echo, no signals.
bool setRawMode(int fd);

} // namespace ByteRelay
