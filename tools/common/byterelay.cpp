#include "byterelay.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace ByteRelay {

namespace {

constexpr size_t Capacity = 64 * 1024;

struct Direction
{
    int from;
    int to;
    int fromIndex;
    int toIndex;
    std::vector<char> buffer = std::vector<char>(Capacity);
    size_t start = 0;
    size_t end = 0;
    bool ended = false;

    bool hasRoom() const { return !ended && end < Capacity; }
    bool hasData() const { return end > start; }
};

// Reads what is there; a read error counts as the end of that side (a pseudo-terminal
// whose other side went away answers EIO).
void readInto(Direction &d, Observer *observer)
{
    const ssize_t n = ::read(d.from, d.buffer.data() + d.end, Capacity - d.end);
    if (n > 0) {
        if (observer)
            observer->passed(d.fromIndex, d.buffer.data() + d.end, size_t(n));
        d.end += size_t(n);
    } else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
        d.ended = true;
}

// False when the receiving side is gone.
bool writeFrom(Direction &d)
{
    const ssize_t n = ::write(d.to, d.buffer.data() + d.start, d.end - d.start);
    if (n < 0)
        return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
    d.start += size_t(n);
    if (d.start == d.end)
        d.start = d.end = 0;
    return true;
}

// One direction's share of a poll round. What was just read is written at once: the
// receiver almost always has room, and waiting for poll to say so would cost every
// small message a second round. Only bytes left over from an earlier write wait for
// the receiver to report room. False when the receiving side is gone.
bool step(Direction &d, short fromEvents, short toEvents, Observer *observer)
{
    const bool waiting = d.hasData();
    if (d.hasRoom() && (fromEvents & (POLLIN | POLLHUP | POLLERR)))
        readInto(d, observer);
    if (!d.hasData() || (waiting && !(toEvents & (POLLOUT | POLLHUP | POLLERR))))
        return true;
    return writeFrom(d);
}

} // namespace

End run(int first, int second, const std::function<bool()> &keepGoing, int tickMs)
{
    Hooks hooks;
    hooks.keepGoing = keepGoing;
    hooks.tickMs = tickMs;
    return run(first, second, hooks);
}

End run(int first, int second, const Hooks &hooks)
{
    const std::function<bool()> &keepGoing = hooks.keepGoing;
    const int tickMs = hooks.tickMs;
    using Clock = std::chrono::steady_clock;
    const auto tick = std::chrono::milliseconds(std::max(tickMs, 0));
    auto nextCheck = Clock::now() + tick;
    Direction directions[2] = {{first, second, 0, 1}, {second, first, 1, 0}};
    for (;;) {
        pollfd fds[3] = {{first, 0, 0}, {second, 0, 0}, {hooks.firstWatch, POLLIN, 0}};
        for (const Direction &d : directions) {
            if (d.hasRoom())
                fds[d.fromIndex].events |= POLLIN;
            if (d.hasData())
                fds[d.toIndex].events |= POLLOUT;
        }
        // A descriptor nothing is wanted from stays out: one that hung up would report
        // it again at once on every round while the other side is still busy.
        for (pollfd &fd : fds) {
            if (fd.events == 0)
                fd.fd = -1;
        }
        const int ready = ::poll(fds, hooks.firstWatch >= 0 ? 3 : 2, tickMs);
        // Asked when the tick ran out or a signal came, and while bytes keep flowing
        // once per tick, not on every wake-up: the question may cost a system call.
        if (keepGoing && (ready <= 0 || Clock::now() >= nextCheck)) {
            if (!keepGoing())
                return End::Stopped;
            nextCheck = Clock::now() + tick;
        }
        if (ready <= 0)
            continue;
        if (fds[2].revents != 0)
            return End::FirstEnded;

        for (Direction &d : directions) {
            if (!step(d, fds[d.fromIndex].revents, fds[d.toIndex].revents, hooks.observer))
                return d.to == first ? End::FirstEnded : End::SecondEnded;
        }
        for (const Direction &d : directions) {
            if (d.ended && !d.hasData())
                return d.from == first ? End::FirstEnded : End::SecondEnded;
        }
    }
}

bool setNonBlocking(int fd)
{
    const int flags = ::fcntl(fd, F_GETFL);
    return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

bool setRawMode(int fd)
{
    termios settings{};
    if (::tcgetattr(fd, &settings) != 0)
        return false;
    ::cfmakeraw(&settings);
    settings.c_cflag |= CLOCAL | CREAD;
    return ::tcsetattr(fd, TCSANOW, &settings) == 0;
}

} // namespace ByteRelay
