// com2tcp: relays one serial port to a TCP connection, with the command line of
// com0com's tool of the same name: com2tcp //./<port> <host> <port number>.
// Runs until the connection or the serial end ends, or until it is killed.
//
// The port is end B of one of setupc's pairs: the relay asks the pair's holder for the
// terminal (masterhandoff.h) and gives it back by ending. Any other path, a real
// serial port for instance, is opened as a terminal.
//
// Standard output, one line each, in this order:
//   Relaying <path> <-> <host>:<port>    once the connection is up
//   Counters <s2n> <n2s>                 bytes so far, serial to network and network to
//                                        serial; at most every 500 ms and only when they
//                                        changed, and once more at the end
//   Tap <unix ms> <dir> <hex>            while the tap is on: bytes as they pass, '>'
//                                        serial to network, '<' network to serial, at
//                                        most 256 bytes a line, lower-case hex
//   TapState on | off                    a tap switch was taken; the tap lines after it
//                                        follow the new setting
//   TapDropped <bytes>                   tap bytes left out because the reader of the
//                                        output lagged (the relay never waits for it) or
//                                        because more than about 160 KiB/s passed (the
//                                        tap samples bulk transfers)
//   Connection closed | Serial port closed   the end, after the last Counters line
// Standard input takes lines "tap on" and "tap off" (the tap starts off); other lines
// are ignored. A closed standard input, or its end, leaves the relay running.

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <ctime>

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "byterelay.h"
#include "masterhandoff.h"
#include "relayreport.h"
#include "base/serialportdirectory.h"

namespace {

const char Usage[] = "usage: com2tcp //./<port> <host> <port number>\n";

// "//./COM3" and "\\.\COM3" are Windows device names; here a bare name is a port in the
// serial port directory and anything with a slash after the prefix is a path.
std::string portName(std::string name)
{
    for (const char *prefix : {"//./", "\\\\.\\"}) {
        if (name.compare(0, std::strlen(prefix), prefix) == 0) {
            name = name.substr(std::strlen(prefix));
            break;
        }
    }
    return name;
}

std::string serialPath(const std::string &name)
{
    if (name.empty() || name.find('/') != std::string::npos)
        return name;
    return SerialPortDirectory::portPath(QString::fromStdString(name)).toStdString();
}

bool validPortNumber(const std::string &text)
{
    if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const long number = std::strtol(text.c_str(), nullptr, 10);
    return number >= 1 && number <= 65535;
}

int connectTo(const std::string &host, const std::string &port)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *addresses = nullptr;
    const int status = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &addresses);
    if (status != 0) {
        std::fprintf(stderr, "com2tcp: cannot resolve %s: %s\n", host.c_str(), ::gai_strerror(status));
        return -1;
    }
    int fd = -1;
    for (addrinfo *address = addresses; address; address = address->ai_next) {
        fd = ::socket(address->ai_family, address->ai_socktype | SOCK_CLOEXEC, address->ai_protocol);
        if (fd < 0)
            continue;
        if (::connect(fd, address->ai_addr, address->ai_addrlen) == 0)
            break;
        std::fprintf(stderr, "com2tcp: cannot connect to %s:%s: %s\n", host.c_str(), port.c_str(),
                     std::strerror(errno));
        ::close(fd);
        fd = -1;
    }
    ::freeaddrinfo(addresses);
    if (fd >= 0) {
        // Serial traffic is small and interactive: send each piece at once.
        const int on = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    }
    return fd;
}

// The terminal to relay: taken from the pair's holder when the name is one of our
// pairs, opened otherwise. lease is -1 for an opened terminal.
int openSerial(const std::string &name, const std::string &path, int &lease)
{
    lease = -1;
    if (name.find('/') == std::string::npos) {
        const std::string pairs = SerialPortDirectory::path().toStdString() + "/.pairs";
        const int dir = MasterHandoff::openPrivateDirectory(pairs, false);
        if (dir >= 0) {
            int master = -1;
            std::string error;
            const MasterHandoff::Result result =
                MasterHandoff::take(dir, MasterHandoff::socketName(name), master, lease, error);
            ::close(dir);
            switch (result) {
            case MasterHandoff::Result::Taken:
                if (!ByteRelay::setNonBlocking(master)) {
                    std::fprintf(stderr, "com2tcp: cannot set up %s: %s\n", path.c_str(), std::strerror(errno));
                    return -1;
                }
                return master;
            case MasterHandoff::Result::NoPair:
                break;
            case MasterHandoff::Result::Refused:
            case MasterHandoff::Result::Failed:
                std::fprintf(stderr, "com2tcp: cannot open %s: %s\n", path.c_str(), error.c_str());
                return -1;
            }
        } else if (errno != ENOENT) {
            std::fprintf(stderr, "com2tcp: cannot use %s: %s\n", pairs.c_str(), std::strerror(errno));
            return -1;
        }
    }
    const int serial = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (serial < 0) {
        std::fprintf(stderr, "com2tcp: cannot open %s: %s\n", path.c_str(), std::strerror(errno));
        return -1;
    }
    if (!ByteRelay::setRawMode(serial) || !ByteRelay::setNonBlocking(serial)) {
        std::fprintf(stderr, "com2tcp: cannot set up %s: %s\n", path.c_str(), std::strerror(errno));
        return -1;
    }
    return serial;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc != 4 || !validPortNumber(argv[3])) {
        std::fputs(Usage, stderr);
        return 2;
    }
    const std::string name = portName(argv[1]);
    const std::string path = serialPath(name);
    if (path.empty()) {
        std::fputs(Usage, stderr);
        return 2;
    }
    ::signal(SIGPIPE, SIG_IGN);

    int lease = -1;
    const int serial = openSerial(name, path, lease);
    if (serial < 0)
        return 1;

    const int socket = connectTo(argv[2], argv[3]);
    if (socket < 0)
        return 1;
    if (!ByteRelay::setNonBlocking(socket)) {
        std::perror("com2tcp: socket");
        return 1;
    }
    std::printf("Relaying %s <-> %s:%s\n", path.c_str(), argv[2], argv[3]);
    std::fflush(stdout);

    RelayReport report(STDIN_FILENO, STDOUT_FILENO);
    ByteRelay::Hooks hooks;
    hooks.observer = &report;
    hooks.tickMs = 100;
    hooks.keepGoing = [&report] {
        report.tick();
        return true;
    };
    // The holder's end of the lease means the pair was removed.
    hooks.firstWatch = lease;
    const ByteRelay::End end = ByteRelay::run(serial, socket, hooks);
    report.finish(end == ByteRelay::End::SecondEnded ? "Connection closed" : "Serial port closed");
    ::close(socket);
    ::close(serial);
    if (lease >= 0)
        ::close(lease);
    return 0;
}
