// Round-trip latency and throughput of bytes through a virtual serial port bridge:
// a program's port -> relay -> TCP echo service -> back to the port. In one run, against
// the same echo service, it measures:
//   - the product path: the port a program opens is one of setupc's pairs, com2tcp
//     takes the pair's terminal from its holder and relays it (tap off);
//   - the same with the tap on, its lines going to a file (a reader that never lags);
//   - socat holding a pseudo-terminal of its own, which the program opens:
//       socat PTY,link=<A>,rawer TCP:127.0.0.1:<port>,nodelay
//   - a direct TCP connection to the echo service, the floor of every relay.
// CORRIVO_BENCH_SOCAT replaces socat's arguments, with {A} for the link the program
// opens and {port} for the echo service's port.
//
// Build: cmake --build build --target bench_serialrelay setupc com2tcp
// Run:   build/bench/bench_serialrelay [round trips] [megabytes] [rounds]
//        (per round; default 500 round trips and 8 MiB, 8 rounds)
// Each round measures every path once, in an order that turns from round to round; the
// figures pool the round trips of all rounds and take the median throughput of the
// rounds. Many short rounds spread what the rest of a shared machine does over all
// paths alike. CORRIVO_BIN_DIR picks the setupc and com2tcp to measure (default: the
// build's). The relay columns "CPU" are the relay process's own processor time per
// round trip and per MiB: on a busy machine the times above hold the waits for a
// processor too. Targets: product median at most 1.1 x socat's, throughput at least
// socat's; tap on at most 1.2 x tap off.

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

namespace {

// socat's arguments; {A} stands for the link the program opens, {port} for the echo
// service's port.
const char SocatArguments[] = "PTY,link={A},rawer TCP:127.0.0.1:{port},nodelay";

// One connection at a time is enough here; each gets its own thread.
class Echo
{
public:
    Echo()
    {
        listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        ::bind(listener, reinterpret_cast<sockaddr *>(&address), length);
        ::listen(listener, 4);
        ::getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length);
        port = ntohs(address.sin_port);
        acceptor = std::thread([this] {
            int client;
            while ((client = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC)) >= 0) {
                const int on = 1;
                ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
                ++connections;
                workers.emplace_back([client] {
                    char buffer[65536];
                    ssize_t n;
                    while ((n = ::read(client, buffer, sizeof buffer)) > 0) {
                        for (ssize_t done = 0, w = 0; done < n; done += w) {
                            w = ::send(client, buffer + done, size_t(n - done), MSG_NOSIGNAL);
                            if (w <= 0)
                                return;
                        }
                    }
                    ::close(client);
                });
            }
        });
    }
    ~Echo()
    {
        ::shutdown(listener, SHUT_RDWR);
        acceptor.join();
        for (std::thread &worker : workers)
            worker.join();
        ::close(listener);
    }

    quint16 port = 0;
    std::atomic<int> connections{0};

private:
    int listener = -1;
    std::thread acceptor;
    std::vector<std::thread> workers;
};

// A relay that loses bytes must end the run with a failure, not hang it.
constexpr int StallMs = 10000;

bool waitReady(int fd, short events)
{
    pollfd ready{fd, events, 0};
    int n;
    while ((n = ::poll(&ready, 1, StallMs)) < 0 && errno == EINTR) {
    }
    return n > 0;
}

// fd is non-blocking. What is there, waiting for it; 0 or less on end, error or stall.
ssize_t readSome(int fd, char *data, size_t size)
{
    for (;;) {
        const ssize_t n = ::read(fd, data, size);
        if (n >= 0)
            return n;
        if (errno != EINTR && (errno != EAGAIN || !waitReady(fd, POLLIN)))
            return -1;
    }
}

bool writeAll(int fd, const char *data, size_t size)
{
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, data + done, size - done);
        if (n > 0)
            done += size_t(n);
        else if (n < 0 && errno != EINTR && (errno != EAGAIN || !waitReady(fd, POLLOUT)))
            return false;
    }
    return true;
}

bool readAll(int fd, char *data, size_t size)
{
    for (size_t done = 0; done < size;) {
        const ssize_t n = readSome(fd, data + done, size - done);
        if (n <= 0)
            return false;
        done += size_t(n);
    }
    return true;
}

bool setRaw(int fd)
{
    termios settings{};
    if (::tcgetattr(fd, &settings) != 0)
        return false;
    ::cfmakeraw(&settings);
    return ::tcsetattr(fd, TCSANOW, &settings) == 0;
}

// The figures of one path, pooled over the rounds.
struct Path
{
    explicit Path(const char *pathName)
        : name(pathName)
    {
    }

    const char *name;
    std::vector<double> roundTrips; // microseconds
    std::vector<double> throughputs; // MiB/s, one per round
    // The relay process's own processor time, one figure per round: what it costs
    // whatever else the machine is doing, while the times above also hold the waits
    // for a processor on a busy machine.
    std::vector<double> cpuPerRoundTrip; // microseconds
    std::vector<double> cpuPerMebibyte; // milliseconds
    bool ok = true;

    double percentile(double fraction) const
    {
        std::vector<double> sorted = roundTrips;
        std::sort(sorted.begin(), sorted.end());
        return sorted.empty() ? 0 : sorted[std::min(sorted.size() - 1, size_t(double(sorted.size()) * fraction))];
    }
    double median() const { return percentile(0.5); }
    double p99() const { return percentile(0.99); }
    static double median(std::vector<double> values)
    {
        std::sort(values.begin(), values.end());
        return values.empty() ? 0 : values[values.size() / 2];
    }
    double throughput() const { return median(throughputs); }
    double cpuRoundTrip() const { return median(cpuPerRoundTrip); }
    double cpuMebibyte() const { return median(cpuPerMebibyte); }
};

// Nanoseconds the process has run on a processor so far; -1 when unknown.
qint64 cpuNanoseconds(qint64 pid)
{
    QFile file(QStringLiteral("/proc/%1/schedstat").arg(pid));
    if (pid <= 0 || !file.open(QIODevice::ReadOnly))
        return -1;
    bool ok = false;
    const qint64 value = file.readAll().split(' ').value(0).toLongLong(&ok);
    return ok ? value : -1;
}

// Latency: one 16-byte message out, wait for it back, many times. Throughput: a writer
// thread streams the block while this thread reads it back.
// relayPid names the relay whose processor time is taken (0: none).
void measure(int fd, int roundTrips, int megabytes, Path &path, qint64 relayPid = 0)
{
    if (::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK) != 0) {
        path.ok = false;
        return;
    }
    char message[16];
    char back[16];
    QElapsedTimer timer;
    qint64 cpuBefore = cpuNanoseconds(relayPid);
    for (int i = 0; i < roundTrips; ++i) {
        std::fill(std::begin(message), std::end(message), char(i));
        timer.start();
        if (!writeAll(fd, message, sizeof message) || !readAll(fd, back, sizeof back)) {
            path.ok = false;
            return;
        }
        path.roundTrips.push_back(double(timer.nsecsElapsed()) / 1000.0);
        if (!std::equal(std::begin(message), std::end(message), std::begin(back))) {
            path.ok = false;
            return;
        }
    }

    qint64 cpuAfter = cpuNanoseconds(relayPid);
    if (cpuBefore >= 0 && cpuAfter >= 0)
        path.cpuPerRoundTrip.push_back(double(cpuAfter - cpuBefore) / 1000.0 / roundTrips);

    const size_t total = size_t(megabytes) * 1024 * 1024;
    std::vector<char> block(65536);
    for (size_t i = 0; i < block.size(); ++i)
        block[i] = char(i * 7);
    std::atomic<bool> writeOk{true};
    std::atomic<bool> readerDone{false};
    cpuBefore = cpuNanoseconds(relayPid);
    timer.start();
    std::thread writer([&] {
        for (size_t sent = 0; sent < total && !readerDone; sent += block.size()) {
            if (!writeAll(fd, block.data(), std::min(block.size(), total - sent))) {
                writeOk = false;
                return;
            }
        }
    });
    std::vector<char> incoming(65536);
    size_t received = 0;
    bool same = true;
    // A relay that crawls (socat sleeps a second whenever a non-blocking write would
    // block) fails the run instead of holding it for hours.
    constexpr qint64 LimitMs = 120000;
    while (received < total && timer.elapsed() < LimitMs) {
        const ssize_t n = readSome(fd, incoming.data(), std::min(incoming.size(), total - received));
        if (n <= 0)
            break;
        // Compared piece by piece against the block the writer repeats.
        for (size_t done = 0; same && done < size_t(n);) {
            const size_t offset = (received + done) % block.size();
            const size_t piece = std::min(size_t(n) - done, block.size() - offset);
            same = std::memcmp(incoming.data() + done, block.data() + offset, piece) == 0;
            done += piece;
        }
        received += size_t(n);
    }
    readerDone = true;
    writer.join();
    const double seconds = double(timer.nsecsElapsed()) / 1e9;
    path.throughputs.push_back(double(total) / (1024.0 * 1024.0) / seconds);
    cpuAfter = cpuNanoseconds(relayPid);
    if (cpuBefore >= 0 && cpuAfter >= 0)
        path.cpuPerMebibyte.push_back(double(cpuAfter - cpuBefore) / 1e6 / megabytes);
    path.ok = path.ok && received == total && same && writeOk;
}

int runTool(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForFinished(30000))
        return -1;
    return process.exitCode();
}

int openEnd(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd >= 0 && !setRaw(fd)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Starts the relay, waits until it has connected to the echo service and the port can
// be opened, measures through the port and stops the relay again. With tapFile set the
// relay's output goes there and its tap is switched on first.
void measureRelay(const QString &program, const QStringList &arguments, Echo &echo, const QString &endA,
                  int roundTrips, int megabytes, Path &path, const QString &tapFile = QString())
{
    const int before = echo.connections;
    QProcess relay;
    relay.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    if (!tapFile.isEmpty())
        relay.setStandardOutputFile(tapFile, QIODevice::Truncate);
    relay.start(program, arguments);
    QElapsedTimer waited;
    waited.start();
    const auto ready = [&] {
        if (echo.connections == before || !QFile::exists(endA))
            return false;
        if (tapFile.isEmpty())
            return true;
        QFile output(tapFile);
        return output.open(QIODevice::ReadOnly) && output.readAll().contains("TapState on");
    };
    if (!tapFile.isEmpty() && relay.waitForStarted()) {
        relay.write("tap on\n");
        relay.waitForBytesWritten();
    }
    while (!ready() && waited.elapsed() < 5000 && relay.state() != QProcess::NotRunning)
        QThread::msleep(1);
    const int a = ready() ? openEnd(endA) : -1;
    if (a >= 0) {
        measure(a, roundTrips, megabytes, path, relay.processId());
        ::close(a);
    } else {
        std::fprintf(stderr, "%s did not connect\n", qPrintable(program));
        path.ok = false;
    }
    relay.kill();
    relay.waitForFinished();
}

void measureDirect(Echo &echo, int roundTrips, int megabytes, Path &path)
{
    const int tcp = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(echo.port);
    const int on = 1;
    ::setsockopt(tcp, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    if (::connect(tcp, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0)
        measure(tcp, roundTrips, megabytes, path);
    else
        path.ok = false;
    ::close(tcp);
}

void printRow(const Path &path)
{
    std::printf("%-36s %10.1f %10.1f %10.1f", path.name, path.median(), path.p99(), path.throughput());
    if (path.cpuPerRoundTrip.empty())
        std::printf(" %10s %10s\n", "-", "-");
    else
        std::printf(" %10.1f %10.2f\n", path.cpuRoundTrip(), path.cpuMebibyte());
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int roundTrips = argc > 1 ? std::max(100, atoi(argv[1])) : 500;
    const int megabytes = argc > 2 ? std::max(1, atoi(argv[2])) : 8;
    const int rounds = argc > 3 ? std::max(1, atoi(argv[3])) : 8;

    QString binDir = qEnvironmentVariable("CORRIVO_BIN_DIR");
    if (binDir.isEmpty())
        binDir = QCoreApplication::applicationDirPath() + QLatin1String("/../bin");
    const QString setupc = binDir + QLatin1String("/setupc");
    const QString com2tcp = binDir + QLatin1String("/com2tcp");
    if (!QFile::exists(setupc) || !QFile::exists(com2tcp)) {
        std::fprintf(stderr, "build setupc and com2tcp first (looked in %s)\n", qPrintable(binDir));
        return 1;
    }
    const QString socat = QStandardPaths::findExecutable(QStringLiteral("socat"));
    if (socat.isEmpty()) {
        std::fprintf(stderr, "socat is needed for the comparison (Debian package socat)\n");
        return 1;
    }

    QTemporaryDir serialDir;
    qputenv("CORRIVO_SERIAL_DIR", QFile::encodeName(serialDir.path()));
    Echo echo;

    if (runTool(setupc, {QStringLiteral("install"), QStringLiteral("PortName=BENCHA"), QStringLiteral("PortName=BENCHB")}) != 0) {
        std::fprintf(stderr, "setupc install failed\n");
        return 1;
    }
    const QString endA = serialDir.filePath(QStringLiteral("BENCHA"));
    const QString socatA = serialDir.filePath(QStringLiteral("SOCATA"));
    const QString tapFile = serialDir.filePath(QStringLiteral("tap.out"));
    const QString echoPort = QString::number(echo.port);
    const QStringList com2tcpArguments = {QStringLiteral("//./BENCHB"), QStringLiteral("127.0.0.1"), echoPort};
    QString socatTemplate = qEnvironmentVariable("CORRIVO_BENCH_SOCAT");
    if (socatTemplate.isEmpty())
        socatTemplate = QLatin1String(SocatArguments);
    QStringList socatArguments = socatTemplate.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    for (QString &argument : socatArguments) {
        argument.replace(QLatin1String("{A}"), socatA);
        argument.replace(QLatin1String("{port}"), echoPort);
    }

    Path ours("port -> com2tcp -> echo (tap off)");
    Path tapped("port -> com2tcp -> echo (tap on)");
    Path theirs("socat's own pty -> echo");
    Path direct("direct TCP -> echo");
    Path *const paths[] = {&ours, &tapped, &theirs, &direct};
    // A failed path may leave bytes in the port that would spoil the next: stop there.
    const auto allOk = [&] { return ours.ok && tapped.ok && theirs.ok && direct.ok; };
    for (int round = 0; round < rounds && allOk(); ++round) {
        for (int turn = 0; turn < 4 && allOk(); ++turn) {
            Path *path = paths[(round + turn) % 4];
            if (path == &ours)
                measureRelay(com2tcp, com2tcpArguments, echo, endA, roundTrips, megabytes, ours);
            else if (path == &tapped)
                measureRelay(com2tcp, com2tcpArguments, echo, endA, roundTrips, megabytes, tapped, tapFile);
            else if (path == &theirs)
                measureRelay(socat, socatArguments, echo, socatA, roundTrips, megabytes, theirs);
            else
                measureDirect(echo, roundTrips, megabytes, direct);
        }
    }
    runTool(setupc, {QStringLiteral("remove"), QStringLiteral("0")});

    if (!allOk()) {
        std::fprintf(stderr, "measurement failed (com2tcp %d, tapped %d, socat %d, direct %d)\n", ours.ok,
                     tapped.ok, theirs.ok, direct.ok);
        return 1;
    }
    QFile loadFile(QStringLiteral("/proc/loadavg"));
    const QByteArray load = loadFile.open(QIODevice::ReadOnly) ? loadFile.readAll().trimmed() : QByteArray("?");
    std::printf("%d rounds of %d round trips of 16 bytes and %d MiB streamed; load %s\n", rounds, roundTrips,
                megabytes, load.constData());
    std::printf("socat %s\n\n", qPrintable(socatTemplate));
    std::printf("%-36s %10s %10s %10s %10s %10s\n", "path", "median us", "p99 us", "MiB/s", "CPU us/rt",
                "CPU ms/MiB");
    for (const Path *path : paths)
        printRow(*path);
    std::printf("\n%-28s %10s %10s %10s %10s %10s %10s\n", "ratio", "median", "p99", "MiB/s", "CPU/rt", "CPU/MiB",
                "target");
    const auto ratio = [](const char *name, const Path &a, const Path &b, const char *target) {
        std::printf("%-28s %10.2f %10.2f %10.2f %10.2f %10.2f %10s\n", name, a.median() / b.median(), a.p99() / b.p99(),
                    a.throughput() / b.throughput(), a.cpuRoundTrip() / b.cpuRoundTrip(),
                    a.cpuMebibyte() / b.cpuMebibyte(), target);
    };
    ratio("com2tcp / socat own pty", ours, theirs, "<=1.1 >=1");
    ratio("tap on / tap off", tapped, ours, "<=1.2");
    std::printf("%-28s %10.2f %10.2f %10.2f\n", "com2tcp / direct TCP", ours.median() / direct.median(),
                ours.p99() / direct.p99(), ours.throughput() / direct.throughput());
    std::printf("%-28s %10.2f %10.2f %10.2f\n", "socat / direct TCP", theirs.median() / direct.median(),
                theirs.p99() / direct.p99(), theirs.throughput() / direct.throughput());
    return 0;
}
