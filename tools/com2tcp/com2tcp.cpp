// com2tcp: relays one serial port to a TCP connection, with the command line of
// com0com's tool of the same name: com2tcp //./<port> <host> <port number>.
// Runs until the connection or the serial end ends, or until it is killed.

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include "byterelay.h"
#include "base/serialportdirectory.h"

namespace {

const char Usage[] = "usage: com2tcp //./<port> <host> <port number>\n";

// "//./COM3" and "\\.\COM3" are Windows device names; here a bare name is a link in the
// serial port directory and anything with a slash after the prefix is a path.
std::string serialPath(std::string name)
{
    for (const char *prefix : {"//./", "\\\\.\\"}) {
        if (name.compare(0, std::strlen(prefix), prefix) == 0) {
            name = name.substr(std::strlen(prefix));
            break;
        }
    }
    if (name.empty())
        return name;
    if (name.find('/') != std::string::npos)
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

} // namespace

int main(int argc, char *argv[])
{
    if (argc != 4 || !validPortNumber(argv[3])) {
        std::fputs(Usage, stderr);
        return 2;
    }
    const std::string path = serialPath(argv[1]);
    if (path.empty()) {
        std::fputs(Usage, stderr);
        return 2;
    }
    ::signal(SIGPIPE, SIG_IGN);

    const int serial = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (serial < 0) {
        std::fprintf(stderr, "com2tcp: cannot open %s: %s\n", path.c_str(), std::strerror(errno));
        return 1;
    }
    if (!ByteRelay::setRawMode(serial) || !ByteRelay::setNonBlocking(serial)) {
        std::fprintf(stderr, "com2tcp: cannot set up %s: %s\n", path.c_str(), std::strerror(errno));
        return 1;
    }

    const int socket = connectTo(argv[2], argv[3]);
    if (socket < 0)
        return 1;
    if (!ByteRelay::setNonBlocking(socket)) {
        std::perror("com2tcp: socket");
        return 1;
    }
    std::printf("Relaying %s <-> %s:%s\n", path.c_str(), argv[2], argv[3]);
    std::fflush(stdout);

    const ByteRelay::End end = ByteRelay::run(serial, socket, nullptr, -1);
    std::printf("%s\n", end == ByteRelay::End::SecondEnded ? "Connection closed" : "Serial port closed");
    std::fflush(stdout);
    ::close(socket);
    ::close(serial);
    return 0;
}
