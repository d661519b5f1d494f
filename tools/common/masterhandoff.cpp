#include "masterhandoff.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace MasterHandoff {

namespace {

constexpr char Granted = 'M';
constexpr char Busy = 'B';
constexpr char NotYours = 'U';

// The opened directory by its descriptor: whatever is put at the directory's path
// later, the name is looked up in the directory we checked.
bool addressIn(int dirFd, const std::string &name, sockaddr_un &address)
{
    address = {};
    address.sun_family = AF_UNIX;
    const std::string path = "/proc/self/fd/" + std::to_string(dirFd) + '/' + name;
    if (name.empty() || name.find('/') != std::string::npos || path.size() >= sizeof address.sun_path) {
        errno = ENAMETOOLONG;
        return false;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return true;
}

bool peerIsUs(int fd)
{
    ucred peer{};
    socklen_t length = sizeof peer;
    return ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) == 0 && peer.uid == ::getuid();
}

} // namespace

int openPrivateDirectory(const std::string &path, bool create)
{
    if (create && ::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST)
        return -1;
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return -1;
    struct stat info{};
    if (::fstat(fd, &info) != 0 || info.st_uid != ::geteuid()) {
        ::close(fd);
        errno = EPERM;
        return -1;
    }
    if ((info.st_mode & 077) != 0 && ::fchmod(fd, 0700) != 0) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

std::string socketName(const std::string &name)
{
    return name + ".sock";
}

int listenIn(int dirFd, const std::string &name)
{
    sockaddr_un address;
    if (!addressIn(dirFd, name, address))
        return -1;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return -1;
    // A socket file left by a holder that was killed outright would block the name.
    struct stat info{};
    if (::fstatat(dirFd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISSOCK(info.st_mode))
        ::unlinkat(dirFd, name.c_str(), 0);
    if (::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 || ::listen(fd, 4) != 0) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

bool serve(int connection, int master, bool busy)
{
    char answer = Granted;
    if (!peerIsUs(connection))
        answer = NotYours;
    else if (busy)
        answer = Busy;

    iovec data{&answer, 1};
    msghdr message{};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    if (answer == Granted) {
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        cmsghdr *header = CMSG_FIRSTHDR(&message);
        header->cmsg_level = SOL_SOCKET;
        header->cmsg_type = SCM_RIGHTS;
        header->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(header), &master, sizeof master);
    }
    return ::sendmsg(connection, &message, MSG_NOSIGNAL | MSG_DONTWAIT) == 1 && answer == Granted;
}

Result take(int dirFd, const std::string &name, int &master, int &lease, std::string &error)
{
    master = -1;
    lease = -1;
    struct stat info{};
    if (::fstatat(dirFd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
        error = std::strerror(errno);
        return errno == ENOENT ? Result::NoPair : Result::Failed;
    }
    if (!S_ISSOCK(info.st_mode) || info.st_uid != ::geteuid()) {
        error = "not a socket of this user";
        return Result::Refused;
    }
    sockaddr_un address;
    if (!addressIn(dirFd, name, address)) {
        error = std::strerror(errno);
        return Result::Failed;
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        error = std::string("the pair's holder does not answer: ") + std::strerror(errno);
        if (fd >= 0)
            ::close(fd);
        return Result::Failed;
    }
    if (!peerIsUs(fd)) {
        error = "the socket is served by another user";
        ::close(fd);
        return Result::Refused;
    }

    pollfd ready{fd, POLLIN, 0};
    if (::poll(&ready, 1, 5000) != 1) {
        error = "the pair's holder did not answer in time";
        ::close(fd);
        return Result::Failed;
    }
    char answer = 0;
    iovec data{&answer, 1};
    msghdr message{};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    const ssize_t n = ::recvmsg(fd, &message, MSG_CMSG_CLOEXEC);
    int received = -1;
    for (cmsghdr *header = n == 1 ? CMSG_FIRSTHDR(&message) : nullptr; header;
         header = CMSG_NXTHDR(&message, header)) {
        if (header->cmsg_level == SOL_SOCKET && header->cmsg_type == SCM_RIGHTS
            && header->cmsg_len == CMSG_LEN(sizeof(int)) && received < 0)
            std::memcpy(&received, CMSG_DATA(header), sizeof received);
    }
    const bool whole = n == 1 && !(message.msg_flags & MSG_CTRUNC);
    if (!whole || answer != Granted || received < 0 || !::isatty(received)) {
        if (received >= 0)
            ::close(received);
        ::close(fd);
        if (n == 1 && answer == Busy)
            error = "another relay holds the port";
        else if (n == 1 && answer == NotYours)
            error = "the pair's holder refused this user";
        else
            error = "the pair's holder sent no terminal";
        return n == 1 && (answer == Busy || answer == NotYours) ? Result::Refused : Result::Failed;
    }
    master = received;
    lease = fd;
    return Result::Taken;
}

} // namespace MasterHandoff
