// Round-trip latency and throughput of bytes through a virtual serial port bridge:
// end A -> pair -> com2tcp -> TCP echo service -> back to A, against a direct TCP
// connection to the same echo service, measured in one run.
//
// Build: cmake --build build --target bench_serialrelay setupc com2tcp
// Run:   build/bench/bench_serialrelay [round trips] [megabytes]

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
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

private:
    int listener = -1;
    std::thread acceptor;
    std::vector<std::thread> workers;
};

bool writeAll(int fd, const char *data, size_t size)
{
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, data + done, size - done);
        if (n < 0 && errno != EINTR && errno != EAGAIN)
            return false;
        if (n > 0)
            done += size_t(n);
    }
    return true;
}

bool readAll(int fd, char *data, size_t size)
{
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::read(fd, data + done, size - done);
        if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN))
            return false;
        if (n > 0)
            done += size_t(n);
    }
    return true;
}

struct Result
{
    double medianMicroseconds = 0;
    double meanMicroseconds = 0;
    double megabytesPerSecond = 0;
    bool ok = false;
};

// fd is blocking. Latency: one 16-byte message out, wait for it back, many times.
// Throughput: a writer thread streams the block while this thread reads it back.
Result measure(int fd, int roundTrips, int megabytes)
{
    Result result;
    char message[16];
    char back[16];
    std::vector<double> samples;
    samples.reserve(size_t(roundTrips));
    QElapsedTimer timer;
    for (int i = 0; i < roundTrips; ++i) {
        std::fill(std::begin(message), std::end(message), char(i));
        timer.start();
        if (!writeAll(fd, message, sizeof message) || !readAll(fd, back, sizeof back))
            return result;
        samples.push_back(double(timer.nsecsElapsed()) / 1000.0);
        if (!std::equal(std::begin(message), std::end(message), std::begin(back)))
            return result;
    }
    std::sort(samples.begin(), samples.end());
    result.medianMicroseconds = samples[samples.size() / 2];
    double sum = 0;
    for (double sample : samples)
        sum += sample;
    result.meanMicroseconds = sum / double(samples.size());

    const size_t total = size_t(megabytes) * 1024 * 1024;
    std::vector<char> block(65536);
    for (size_t i = 0; i < block.size(); ++i)
        block[i] = char(i * 7);
    std::atomic<bool> writeOk{true};
    timer.start();
    std::thread writer([&] {
        for (size_t sent = 0; sent < total; sent += block.size()) {
            if (!writeAll(fd, block.data(), std::min(block.size(), total - sent))) {
                writeOk = false;
                return;
            }
        }
    });
    std::vector<char> incoming(65536);
    size_t received = 0;
    bool readOk = true;
    while (received < total) {
        const ssize_t n = ::read(fd, incoming.data(), std::min(incoming.size(), total - received));
        if (n <= 0) {
            readOk = false;
            break;
        }
        received += size_t(n);
    }
    writer.join();
    const double seconds = double(timer.nsecsElapsed()) / 1e9;
    result.megabytesPerSecond = double(total) / (1024.0 * 1024.0) / seconds;
    result.ok = readOk && writeOk;
    return result;
}

int runTool(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForFinished(30000))
        return -1;
    return process.exitCode();
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int roundTrips = argc > 1 ? std::max(10, atoi(argv[1])) : 2000;
    const int megabytes = argc > 2 ? std::max(1, atoi(argv[2])) : 16;

    QString binDir = qEnvironmentVariable("CORRIVO_BIN_DIR");
    if (binDir.isEmpty())
        binDir = QCoreApplication::applicationDirPath() + QLatin1String("/../bin");
    const QString setupc = binDir + QLatin1String("/setupc");
    const QString com2tcp = binDir + QLatin1String("/com2tcp");
    if (!QFile::exists(setupc) || !QFile::exists(com2tcp)) {
        std::fprintf(stderr, "build setupc and com2tcp first (looked in %s)\n", qPrintable(binDir));
        return 1;
    }

    QTemporaryDir serialDir;
    qputenv("CORRIVO_SERIAL_DIR", QFile::encodeName(serialDir.path()));
    Echo echo;

    if (runTool(setupc, {QStringLiteral("install"), QStringLiteral("PortName=BENCHA"), QStringLiteral("PortName=BENCHB")}) != 0) {
        std::fprintf(stderr, "setupc install failed\n");
        return 1;
    }
    QProcess relay;
    relay.start(com2tcp, {QStringLiteral("//./BENCHB"), QStringLiteral("127.0.0.1"), QString::number(echo.port)});
    relay.waitForReadyRead(5000);

    Result serial;
    Result direct;
    const int a = ::open(QFile::encodeName(serialDir.filePath(QStringLiteral("BENCHA"))).constData(), O_RDWR | O_NOCTTY);
    if (a >= 0) {
        termios settings{};
        ::tcgetattr(a, &settings);
        ::cfmakeraw(&settings);
        ::tcsetattr(a, TCSANOW, &settings);
        serial = measure(a, roundTrips, megabytes);
        ::close(a);
    }

    const int tcp = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(echo.port);
    const int on = 1;
    ::setsockopt(tcp, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    if (::connect(tcp, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0)
        direct = measure(tcp, roundTrips, megabytes);
    ::close(tcp);

    relay.kill();
    relay.waitForFinished();
    runTool(setupc, {QStringLiteral("remove"), QStringLiteral("0")});

    if (!serial.ok || !direct.ok) {
        std::fprintf(stderr, "measurement failed (serial %d, direct %d)\n", serial.ok, direct.ok);
        return 1;
    }
    std::printf("round trips: %d x 16 bytes; throughput: %d MiB each way\n\n", roundTrips, megabytes);
    std::printf("%-34s %12s %12s %12s\n", "path", "median us", "mean us", "MiB/s");
    std::printf("%-34s %12.1f %12.1f %12.1f\n", "A -> pair -> com2tcp -> echo -> A", serial.medianMicroseconds,
                serial.meanMicroseconds, serial.megabytesPerSecond);
    std::printf("%-34s %12.1f %12.1f %12.1f\n", "direct TCP -> echo", direct.medianMicroseconds,
                direct.meanMicroseconds, direct.megabytesPerSecond);
    std::printf("\nratio serial/direct: latency (median) %.2fx, throughput %.2fx\n",
                serial.medianMicroseconds / direct.medianMicroseconds,
                serial.megabytesPerSecond / direct.megabytesPerSecond);
    return 0;
}
