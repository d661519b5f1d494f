// setupc: virtual serial port pairs made of pseudo-terminals, with the command line
// of com0com's tool of the same name (install, list, remove, busynames).
//
// A pair is one pseudo-terminal. End A, the port a program opens, is its slave,
// reachable as a link named after the port in the serial port directory. End B is not
// a terminal of its own: a small detached holder process keeps the master (and the
// slave, so a program closing its end never hangs the terminal up), and hands a copy
// of the master to a relay that asks for it by B's name on a unix socket in the
// private ".pairs" folder (masterhandoff.h). A relay that ends leaves the terminal
// with the holder, so a program keeps its port open across relays. The pair's record
// in ".pairs" names the holder; the holder ends when it is told to (remove) or when
// its record disappears.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <dirent.h>
#include <poll.h>
#include <sys/socket.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QSerialPortInfo>

#include "byterelay.h"
#include "masterhandoff.h"
#include "base/serialportdirectory.h"

namespace {

const char Usage[] =
    "usage: setupc install PortName=<A> PortName=<B>\n"
    "       setupc list\n"
    "       setupc remove <n>\n"
    "       setupc busynames <pattern>\n";

struct Pair
{
    int number = -1;
    pid_t pid = 0;
    std::string startTime;
    std::string nameA;
    std::string nameB;
    std::string ptyA;
    std::string ptyB; // pairs made by an earlier setupc had a second terminal
};

std::string g_serialDir;
std::string g_stateDir;
int g_stateFd = -1;

std::string linkPath(const std::string &name)
{
    return g_serialDir + '/' + name;
}

std::string recordPath(int number)
{
    return g_stateDir + '/' + std::to_string(number);
}

bool makeDirectories(const std::string &path)
{
    std::string partial;
    std::stringstream parts(path);
    std::string part;
    while (std::getline(parts, part, '/')) {
        partial += part + '/';
        if (part.empty())
            continue;
        if (::mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST)
            return false;
    }
    struct stat info{};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// Field 22 of /proc/<pid>/stat: the process's start time. Together with the pid it
// tells a live holder from an unrelated process that got its number later.
std::string processStartTime(pid_t pid, char *state = nullptr)
{
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const size_t close = text.rfind(')');
    if (close == std::string::npos)
        return {};
    std::istringstream fields(text.substr(close + 1));
    std::string field;
    for (int index = 3; fields >> field; ++index) {
        if (index == 3 && state)
            *state = field.empty() ? '?' : field[0];
        if (index == 22)
            return field;
    }
    return {};
}

bool holderAlive(const Pair &pair)
{
    char state = '?';
    const std::string start = processStartTime(pair.pid, &state);
    return !start.empty() && start == pair.startTime && state != 'Z' && state != 'X';
}

bool readRecord(int number, Pair &pair)
{
    std::ifstream file(recordPath(number));
    if (!file)
        return false;
    pair.number = number;
    std::string key;
    std::string value;
    while (file >> key >> value) {
        if (key == "pid")
            pair.pid = pid_t(std::atol(value.c_str()));
        else if (key == "start")
            pair.startTime = value;
        else if (key == "A")
            pair.nameA = value;
        else if (key == "B")
            pair.nameB = value;
        else if (key == "ptyA")
            pair.ptyA = value;
        else if (key == "ptyB")
            pair.ptyB = value;
    }
    return pair.pid > 0 && !pair.nameA.empty() && !pair.nameB.empty();
}

bool writeRecord(const Pair &pair)
{
    const std::string path = recordPath(pair.number);
    const std::string temporary = path + ".new";
    {
        std::ofstream file(temporary, std::ios::trunc);
        file << "pid " << pair.pid << "\nstart " << pair.startTime << "\nA " << pair.nameA << "\nB "
             << pair.nameB << "\nptyA " << pair.ptyA << '\n';
        if (!file.flush())
            return false;
    }
    return ::rename(temporary.c_str(), path.c_str()) == 0;
}

// Removes a link only while it still leads to the pair's own terminal, so a newer
// pair that took the name keeps its link.
void removeLinkTo(const std::string &name, const std::string &target)
{
    char buffer[4096];
    const ssize_t length = ::readlink(linkPath(name).c_str(), buffer, sizeof buffer - 1);
    if (length > 0 && std::string(buffer, size_t(length)) == target)
        ::unlink(linkPath(name).c_str());
}

void forgetPair(const Pair &pair)
{
    removeLinkTo(pair.nameA, pair.ptyA);
    removeLinkTo(pair.nameB, pair.ptyB);
    ::unlinkat(g_stateFd, MasterHandoff::socketName(pair.nameB).c_str(), 0);
    ::unlink(recordPath(pair.number).c_str());
}

// All pairs whose holder still runs, by number; records of ended holders are tidied
// away on the way.
std::vector<Pair> livePairs()
{
    std::vector<Pair> pairs;
    DIR *dir = ::opendir(g_stateDir.c_str());
    if (!dir)
        return pairs;
    while (dirent *entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.empty() || name.size() > 9 || !std::all_of(name.begin(), name.end(), ::isdigit))
            continue;
        Pair pair;
        if (!readRecord(std::atoi(name.c_str()), pair)) {
            continue;
        }
        if (holderAlive(pair))
            pairs.push_back(pair);
        else
            forgetPair(pair);
    }
    ::closedir(dir);
    std::sort(pairs.begin(), pairs.end(), [](const Pair &a, const Pair &b) { return a.number < b.number; });
    return pairs;
}

// One setupc at a time changes the pairs.
int lockState()
{
    const int fd = ::open((g_stateDir + "/lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0)
        ::flock(fd, LOCK_EX);
    return fd;
}

bool validName(const std::string &name)
{
    if (name.empty() || name.size() > 64 || name[0] == '.')
        return false;
    return std::all_of(name.begin(), name.end(),
                       [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' || c == '.'; });
}

// Wildcards as com0com takes them ('*' any run, '?' one character). The pattern is
// matched against the beginning of a name: "COM3" also reports COM30 and COM31, so a
// caller that asks whether a name might clash errs on the safe side.
//
// The pattern comes from the command line, so it must not be able to stall the tool:
// instead of trying every way of spreading the stars over the name, only the last
// star seen is ever widened. Earlier stars never need to take more, because whatever
// they could take the last one can take as well. At most pattern length times name
// length steps.
bool matchesPrefix(const char *pattern, const char *name)
{
    const char *afterStar = nullptr; // pattern just after the last star
    const char *starEnd = nullptr;   // where the part of the name that star takes ends
    for (;;) {
        if (*pattern == '\0')
            return true;
        if (*pattern == '*') {
            afterStar = ++pattern;
            starEnd = name;
            continue;
        }
        if (*name != '\0' && (*pattern == '?' || *pattern == *name)) {
            ++pattern;
            ++name;
            continue;
        }
        // A mismatch: let the last star take one more character, if there is one.
        if (!afterStar || *starEnd == '\0')
            return false;
        pattern = afterStar;
        name = ++starEnd;
    }
}

std::set<std::string> namesInUse(const std::vector<Pair> &pairs)
{
    std::set<std::string> names;
    for (const Pair &pair : pairs) {
        names.insert(pair.nameA);
        names.insert(pair.nameB);
    }
    if (DIR *dir = ::opendir(g_serialDir.c_str())) {
        while (dirent *entry = ::readdir(dir)) {
            if (entry->d_name[0] != '.')
                names.insert(entry->d_name);
        }
        ::closedir(dir);
    }
    const auto ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &port : ports)
        names.insert(port.portName().toStdString());
    return names;
}

// --- the holder -----------------------------------------------------------------

volatile sig_atomic_t g_stop = 0;

void requestStop(int)
{
    g_stop = 1;
}

struct End
{
    int master = -1;
    int slave = -1;
    std::string slavePath;
};

std::string openEnd(End &end)
{
    end.master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (end.master < 0 || ::grantpt(end.master) != 0 || ::unlockpt(end.master) != 0)
        return std::string("cannot open a pseudo-terminal: ") + std::strerror(errno);
    char name[256];
    if (::ptsname_r(end.master, name, sizeof name) != 0)
        return std::string("cannot name a pseudo-terminal: ") + std::strerror(errno);
    end.slavePath = name;
    // Holding the slave open ourselves keeps the terminal's settings and spares the
    // pair the hang-up a pseudo-terminal sees when the last user of its slave leaves.
    end.slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (end.slave < 0)
        return std::string("cannot open ") + name + ": " + std::strerror(errno);
    if (!ByteRelay::setRawMode(end.slave) || !ByteRelay::setNonBlocking(end.master))
        return std::string("cannot set up ") + name + ": " + std::strerror(errno);
    return {};
}

void closeOtherDescriptors(const std::set<int> &keep)
{
    std::vector<int> open;
    if (DIR *dir = ::opendir("/proc/self/fd")) {
        while (dirent *entry = ::readdir(dir)) {
            if (entry->d_name[0] != '.')
                open.push_back(std::atoi(entry->d_name));
        }
        ::closedir(dir);
    }
    for (int fd : open) {
        if (fd > 2 && !keep.count(fd))
            ::close(fd);
    }
}

// The relay that holds the terminal now: its connection, open while it works.
bool leaseEnded(int lease)
{
    // A relay sends nothing on it: anything readable is its end (or a misbehaving
    // peer, which loses the lease as well).
    pollfd check{lease, POLLIN, 0};
    return ::poll(&check, 1, 0) != 0;
}

// Runs in the detached grandchild. Reports "ok" or the reason of failure on ready.
[[noreturn]] void hold(Pair pair, int ready)
{
    auto fail = [ready](const std::string &reason) {
        const std::string message = "error " + reason + '\n';
        (void)!::write(ready, message.data(), message.size());
        ::_exit(1);
    };

    End a;
    std::string error = openEnd(a);
    if (!error.empty())
        fail(error);
    const std::string socketName = MasterHandoff::socketName(pair.nameB);
    const int listener = MasterHandoff::listenIn(g_stateFd, socketName);
    if (listener < 0)
        fail("cannot listen in " + g_stateDir + ": " + std::strerror(errno));

    pair.pid = ::getpid();
    pair.startTime = processStartTime(pair.pid);
    pair.ptyA = a.slavePath;
    if (::symlink(a.slavePath.c_str(), linkPath(pair.nameA).c_str()) != 0) {
        ::unlinkat(g_stateFd, socketName.c_str(), 0);
        fail("cannot make " + linkPath(pair.nameA) + ": " + std::strerror(errno));
    }
    if (!writeRecord(pair)) {
        forgetPair(pair);
        fail("cannot write " + recordPath(pair.number));
    }

    // Nothing of the caller's may stay open here: a program reading setupc's output
    // would otherwise wait for the holder's end.
    const int null = ::open("/dev/null", O_RDWR);
    ::dup2(null, STDIN_FILENO);
    ::dup2(null, STDOUT_FILENO);
    ::dup2(null, STDERR_FILENO);
    closeOtherDescriptors({a.master, a.slave, listener, g_stateFd, ready});
    (void)!::write(ready, "ok\n", 3);
    ::close(ready);

    struct sigaction action{};
    action.sa_handler = requestStop;
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
    ::signal(SIGHUP, SIG_IGN);
    ::signal(SIGPIPE, SIG_IGN);

    // The holder never reads the terminal: while no relay has it, what a program
    // writes waits in the terminal for the next relay, as on a cable nobody listens to.
    const std::string record = recordPath(pair.number);
    int lease = -1;
    for (;;) {
        struct stat info{};
        if (g_stop || ::stat(record.c_str(), &info) != 0)
            break;
        pollfd fds[2] = {{listener, POLLIN, 0}, {lease, POLLIN, 0}};
        if (::poll(fds, 2, 1000) <= 0)
            continue;
        if (lease >= 0 && fds[1].revents != 0) {
            ::close(lease);
            lease = -1;
        }
        if (!(fds[0].revents & POLLIN))
            continue;
        const int connection = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0)
            continue;
        // A relay killed just now may not have been noticed yet: look again before
        // turning the next one away.
        if (lease >= 0 && leaseEnded(lease)) {
            ::close(lease);
            lease = -1;
        }
        if (MasterHandoff::serve(connection, a.master, lease >= 0))
            lease = connection;
        else
            ::close(connection);
    }

    Pair current;
    if (readRecord(pair.number, current) && current.pid == pair.pid)
        forgetPair(pair);
    else
        removeLinkTo(pair.nameA, pair.ptyA);
    ::_exit(0);
}

// --- the commands ---------------------------------------------------------------

bool portNameArgument(const std::string &argument, std::string &name)
{
    static const std::string prefix = "PortName=";
    if (argument.compare(0, prefix.size(), prefix) != 0)
        return false;
    name = argument.substr(prefix.size());
    return true;
}

int install(const std::string &first, const std::string &second)
{
    Pair pair;
    if (!portNameArgument(first, pair.nameA) || !portNameArgument(second, pair.nameB)) {
        std::fputs(Usage, stderr);
        return 2;
    }
    for (const std::string *name : {&pair.nameA, &pair.nameB}) {
        if (!validName(*name)) {
            std::fprintf(stderr, "setupc: invalid port name \"%s\" (letters, digits, '_', '-', '.'; at most 64)\n",
                         name->c_str());
            return 2;
        }
    }
    if (pair.nameA == pair.nameB) {
        std::fprintf(stderr, "setupc: both ends are named %s\n", pair.nameA.c_str());
        return 1;
    }

    const int lock = lockState();
    const std::vector<Pair> pairs = livePairs();
    const std::set<std::string> busy = namesInUse(pairs);
    for (const std::string *name : {&pair.nameA, &pair.nameB}) {
        struct stat info{};
        if (busy.count(*name) || ::lstat(linkPath(*name).c_str(), &info) == 0) {
            std::fprintf(stderr, "setupc: port name %s is in use\n", name->c_str());
            return 1;
        }
    }
    pair.number = 0;
    for (const Pair &existing : pairs) {
        if (existing.number == pair.number)
            ++pair.number;
    }

    int ready[2];
    if (::pipe2(ready, O_CLOEXEC) != 0) {
        std::perror("setupc: pipe");
        return 1;
    }
    std::fflush(stdout);
    const pid_t child = ::fork();
    if (child < 0) {
        std::perror("setupc: fork");
        return 1;
    }
    if (child == 0) {
        ::close(ready[0]);
        ::setsid();
        if (::fork() != 0)
            ::_exit(0);
        ::chdir("/");
        hold(pair, ready[1]);
    }
    ::close(ready[1]);
    ::waitpid(child, nullptr, 0);

    std::string answer;
    char buffer[512];
    ssize_t n;
    while ((n = ::read(ready[0], buffer, sizeof buffer)) > 0)
        answer.append(buffer, size_t(n));
    ::close(ready[0]);
    ::close(lock);
    if (answer != "ok\n") {
        std::fprintf(stderr, "setupc: %s", answer.empty() ? "the pair's holder ended at once\n" : answer.c_str() + 6);
        return 1;
    }
    std::printf("       CNCA%d PortName=%s\n       CNCB%d PortName=%s\n", pair.number, pair.nameA.c_str(),
                pair.number, pair.nameB.c_str());
    return 0;
}

int list()
{
    const int lock = lockState();
    for (const Pair &pair : livePairs()) {
        std::printf("       CNCA%d PortName=%s\n", pair.number, pair.nameA.c_str());
        std::printf("       CNCB%d PortName=%s\n", pair.number, pair.nameB.c_str());
    }
    ::close(lock);
    return 0;
}

bool waitForEnd(const Pair &pair, int milliseconds)
{
    for (int waited = 0; waited < milliseconds; waited += 20) {
        if (!holderAlive(pair))
            return true;
        ::usleep(20000);
    }
    return !holderAlive(pair);
}

int remove(const std::string &argument)
{
    if (argument.empty() || argument.size() > 9 || !std::all_of(argument.begin(), argument.end(), ::isdigit)) {
        std::fprintf(stderr, "setupc: invalid pair number \"%s\"\n", argument.c_str());
        return 2;
    }
    const int number = std::atoi(argument.c_str());
    const int lock = lockState();
    for (const Pair &pair : livePairs()) {
        if (pair.number != number)
            continue;
        ::kill(pair.pid, SIGTERM);
        if (!waitForEnd(pair, 5000)) {
            ::kill(pair.pid, SIGKILL);
            waitForEnd(pair, 2000);
        }
        forgetPair(pair);
        std::printf("Removed CNCA%d CNCB%d\n", number, number);
        ::close(lock);
        return 0;
    }
    ::close(lock);
    std::fprintf(stderr, "setupc: there is no pair %d\n", number);
    return 1;
}

int busyNames(const std::string &pattern)
{
    const int lock = lockState();
    for (const std::string &name : namesInUse(livePairs())) {
        if (matchesPrefix(pattern.c_str(), name.c_str()))
            std::printf("%s\n", name.c_str());
    }
    ::close(lock);
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) {
        std::fputs(Usage, stderr);
        return 2;
    }

    g_serialDir = SerialPortDirectory::path().toStdString();
    g_stateDir = g_serialDir + "/.pairs";
    if (!makeDirectories(g_serialDir)) {
        std::fprintf(stderr, "setupc: cannot use the serial port directory %s: %s\n", g_serialDir.c_str(),
                     std::strerror(errno));
        return 1;
    }
    // The records and the holders' sockets: only this user may reach them.
    g_stateFd = MasterHandoff::openPrivateDirectory(g_stateDir, true);
    if (g_stateFd < 0) {
        std::fprintf(stderr, "setupc: cannot use %s: %s\n", g_stateDir.c_str(), std::strerror(errno));
        return 1;
    }

    const std::string &command = args[0];
    if (command == "install" && args.size() == 3)
        return install(args[1], args[2]);
    if (command == "list" && args.size() == 1)
        return list();
    if (command == "remove" && args.size() == 2)
        return remove(args[1]);
    if (command == "busynames" && args.size() == 2)
        return busyNames(args[1]);
    std::fputs(Usage, stderr);
    return 2;
}
