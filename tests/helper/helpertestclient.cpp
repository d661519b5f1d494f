// A client of corrivo2-helper for the tests, run as the user under test (setpriv). Plain
// sockets and poll(), so that nothing between the test and the helper buffers, retries or
// drops what the helper said.
//
//   helpertestclient SOCKET
//       Sends the first line of standard input as the request and prints every line
//       the helper sends, until it closes. With nothing on standard input it sends
//       nothing and prints "connected" once connected.
//   helpertestclient SOCKET --start DIRECTORY
//       Reads {"profile":..., "username":..., "password":...} from the first line of
//       standard input, listens on a management socket in a new 0700 directory under
//       DIRECTORY, sends the start request and prints "helper <line>" for each line of
//       the helper and "management <line>" for each line of the daemon's management
//       channel, which it drives: hold release, credentials. Later lines of standard
//       input go to the management channel. Ends when the helper closes.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

int connectTo(const std::string &path)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    if (fd < 0 || path.size() >= sizeof(address.sun_path))
        return -1;
    std::memcpy(address.sun_path, path.c_str(), path.size());
    if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0) {
        std::fprintf(stderr, "helpertestclient: cannot connect to %s: %s\n", path.c_str(), std::strerror(errno));
        return -1;
    }
    return fd;
}

bool sendAll(int fd, const std::string &data)
{
    std::size_t sent = 0;
    while (sent < data.size()) {
        const ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        sent += std::size_t(n);
    }
    return true;
}

// Reads what is there; false at the end of the stream (or a reset).
bool readSome(int fd, std::string *buffer)
{
    char chunk[65536];
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR)
        return true;
    if (n <= 0)
        return false;
    buffer->append(chunk, std::size_t(n));
    return true;
}

bool takeLine(std::string *buffer, std::string *line)
{
    const std::size_t end = buffer->find('\n');
    if (end == std::string::npos)
        return false;
    *line = buffer->substr(0, end);
    buffer->erase(0, end + 1);
    return true;
}

// Standard input read so far and not yet taken as lines.
std::string g_stdin;

std::string readStdinLine()
{
    std::string line;
    while (!takeLine(&g_stdin, &line)) {
        if (!readSome(STDIN_FILENO, &g_stdin)) {
            line.swap(g_stdin);
            break;
        }
    }
    return line;
}

// The JSON string value of a member of a flat object, unescaped (enough for what the
// test writes: \" \\ \n and \uXXXX below 0x80).
std::string jsonMember(const std::string &object, const std::string &name)
{
    const std::string key = '"' + name + "\":\"";
    std::size_t i = object.find(key);
    if (i == std::string::npos)
        return std::string();
    std::string value;
    for (i += key.size(); i < object.size() && object[i] != '"'; ++i) {
        if (object[i] != '\\') {
            value += object[i];
            continue;
        }
        const char escaped = object[++i];
        if (escaped == 'n')
            value += '\n';
        else if (escaped == 't')
            value += '\t';
        else if (escaped == 'r')
            value += '\r';
        else if (escaped == 'u') {
            value += char(std::strtol(object.substr(i + 1, 4).c_str(), nullptr, 16));
            i += 4;
        } else
            value += escaped;
    }
    return value;
}

std::string jsonString(const std::string &text)
{
    std::string quoted = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\')
            quoted += std::string("\\") + c;
        else if (c == '\n')
            quoted += "\\n";
        else if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", unsigned(c));
            quoted += escaped;
        } else
            quoted += c;
    }
    return quoted + '"';
}

std::string managementQuote(const std::string &value)
{
    std::string quoted = "\"";
    for (const char c : value) {
        if (c == '\\' || c == '"')
            quoted += '\\';
        quoted += c;
    }
    return quoted + '"';
}

int raw(const std::string &socketPath)
{
    const std::string request = readStdinLine();
    const int fd = connectTo(socketPath);
    if (fd < 0)
        return 2;
    // The helper may refuse and close before it has read everything (a request that is
    // too long): its answer is still there to read.
    if (!request.empty()) {
        sendAll(fd, request + '\n');
    } else {
        std::printf("connected\n");
        std::fflush(stdout);
    }
    std::string buffer;
    while (readSome(fd, &buffer)) {
    }
    std::fwrite(buffer.data(), 1, buffer.size(), stdout);
    return 0;
}

int start(const std::string &socketPath, const std::string &base)
{
    const std::string input = readStdinLine();
    const std::string username = jsonMember(input, "username");
    const std::string password = jsonMember(input, "password");
    std::string directory = base + "/client-XXXXXX";
    if (!::mkdtemp(&directory[0])) {
        std::fprintf(stderr, "helpertestclient: mkdtemp: %s\n", std::strerror(errno));
        return 2;
    }
    const std::string managementPath = directory + "/management";
    std::printf("directory %s\n", directory.c_str());
    std::fflush(stdout);

    const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, managementPath.c_str(), managementPath.size());
    if (::bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0 || ::listen(listener, 4) != 0) {
        std::fprintf(stderr, "helpertestclient: cannot listen: %s\n", std::strerror(errno));
        return 2;
    }
    const int helper = connectTo(socketPath);
    if (helper < 0)
        return 2;
    sendAll(helper, "{\"version\":1,\"action\":\"start\",\"profile\":" + jsonString(jsonMember(input, "profile"))
                        + ",\"management\":" + jsonString(managementPath) + "}\n");

    int management = -1;
    bool stdinOpen = true;
    std::string helperBuffer, managementBuffer, line;
    while (true) {
        // management: -1 before the daemon's channel came, -2 after it closed.
        struct pollfd fds[3] = {{helper, POLLIN, 0},
                                {management >= 0 ? management : (management == -1 ? listener : -1), POLLIN, 0},
                                {stdinOpen ? STDIN_FILENO : -1, POLLIN, 0}};
        if (::poll(fds, 3, -1) < 0 && errno != EINTR)
            break;
        if (fds[0].revents) {
            const bool open = readSome(helper, &helperBuffer);
            while (takeLine(&helperBuffer, &line))
                std::printf("helper %s\n", line.c_str());
            std::fflush(stdout);
            if (!open)
                break;
        }
        if (fds[1].revents && management < 0) {
            management = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            std::printf("management connected\n");
            std::fflush(stdout);
        } else if (fds[1].revents) {
            const bool open = readSome(management, &managementBuffer);
            while (takeLine(&managementBuffer, &line)) {
                if (!line.empty() && line.back() == '\r')
                    line.pop_back();
                std::printf("management %s\n", line.c_str());
                if (line.rfind(">HOLD:", 0) == 0)
                    sendAll(management, "state on\nhold off\nhold release\n");
                else if (line.rfind(">PASSWORD:Need 'Auth'", 0) == 0)
                    sendAll(management, "username \"Auth\" " + managementQuote(username) + "\npassword \"Auth\" "
                                            + managementQuote(password) + '\n');
            }
            std::fflush(stdout);
            if (!open) {
                std::printf("management closed\n");
                std::fflush(stdout);
                ::close(management);
                management = -2;
            }
        }
        if (fds[2].revents) {
            stdinOpen = readSome(STDIN_FILENO, &g_stdin);
            while (takeLine(&g_stdin, &line)) {
                if (management >= 0)
                    sendAll(management, line + '\n');
            }
        }
    }
    std::printf("helper closed\n");
    std::fflush(stdout);
    ::unlink(managementPath.c_str());
    ::rmdir(directory.c_str());
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 2)
        return raw(argv[1]);
    if (argc == 4 && std::string(argv[2]) == "--start")
        return start(argv[1], argv[3]);
    std::fprintf(stderr, "usage: helpertestclient SOCKET [--start DIRECTORY]\n");
    return 2;
}
