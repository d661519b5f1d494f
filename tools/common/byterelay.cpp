#include "byterelay.h"

#include <cerrno>
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
void readInto(Direction &d)
{
    const ssize_t n = ::read(d.from, d.buffer.data() + d.end, Capacity - d.end);
    if (n > 0)
        d.end += size_t(n);
    else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
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

} // namespace

End run(int first, int second, const std::function<bool()> &keepGoing, int tickMs)
{
    Direction directions[2] = {{first, second, 0, 1}, {second, first, 1, 0}};
    for (;;) {
        pollfd fds[2] = {{first, 0, 0}, {second, 0, 0}};
        for (const Direction &d : directions) {
            if (d.hasRoom())
                fds[d.fromIndex].events |= POLLIN;
            if (d.hasData())
                fds[d.toIndex].events |= POLLOUT;
        }
        const int ready = ::poll(fds, 2, tickMs);
        if (keepGoing && !keepGoing())
            return End::Stopped;
        if (ready <= 0)
            continue;

        for (Direction &d : directions) {
            const short in = fds[d.fromIndex].revents;
            if (d.hasRoom() && (in & (POLLIN | POLLHUP | POLLERR)))
                readInto(d);
            const short out = fds[d.toIndex].revents;
            if (d.hasData() && (out & (POLLOUT | POLLHUP | POLLERR)) && !writeFrom(d))
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
