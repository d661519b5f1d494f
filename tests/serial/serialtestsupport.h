#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

class QProcess;

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

// Helpers the serial tests share: the tools as built, an isolated serial port
// directory that takes every process made in it along when it goes, raw access to a
// pair's ends and a TCP echo service.
namespace SerialTestSupport {

// Turns logging on for one category and keeps the lines written until stopped. Start
// it from initTestCase: the test runner puts its own message handler in place when
// it begins.
class LogCollector
{
public:
    LogCollector() = default;
    ~LogCollector();
    void start(const QString &category);
    void stop();
    LogCollector(const LogCollector &) = delete;
    LogCollector &operator=(const LogCollector &) = delete;

    void clear();
    const QStringList &lines() const;
    // How often function logged text, in the form the logging facility writes.
    int count(const char *function, const QString &text) const;
    bool contains(const char *function, const QString &text) const { return count(function, text) > 0; }

private:
    bool m_started = false;
};

// The name of a process as /proc has it ("" when there is no such process).
QString processName(qint64 pid);

// True while the process exists and is not a zombie.
bool isAlive(qint64 pid);

// A program of the build's bin directory (setupc, com2tcp).
QString toolPath(const QString &name);

// Runs a tool to its end; returns the exit code (-1 when it did not run or end) and
// fills output with its standard output.
int runTool(const QString &name, const QStringList &arguments, QString *output = nullptr);

// Comes back true once a single-shot timer of delayMs started now has fired. The
// ports start their delayed connections as such timers on this thread, and one
// thread's timers of one delay fire in the order they were started: every delayed
// call started before with that delay has come due by then. A test that must show
// that a delayed call does nothing waits for this, with the delay set short, instead
// of sleeping. Delays below 2 s keep every such timer precise.
bool waitPastDelay(int delayMs);

// A loopback address of this test run's own (127.x.y.z), so that services on fixed
// ports do not collide with parallel runs.
QString uniqueLoopbackAddress();

// setupc install PortName=a PortName=b; the exit code.
int installPair(const QString &a, const QString &b);

// The 256 byte values in order.
QByteArray allByteValues();

// Starts com2tcp between end b of a pair and 127.0.0.1:port.
void startRelay(QProcess &relay, const QString &b, quint16 port);

// Points CORRIVO_SERIAL_DIR at a fresh directory for the life of the object. On
// destruction every process that was started with this directory in its environment
// (pair holders, relays) is killed and the directory removed, whatever the test did.
class SerialDirGuard
{
public:
    SerialDirGuard();
    ~SerialDirGuard();
    SerialDirGuard(const SerialDirGuard &) = delete;
    SerialDirGuard &operator=(const SerialDirGuard &) = delete;

    bool isValid() const;
    QString path() const;
    QString portPath(const QString &name) const;
    // Process ids of the processes started with this directory, this one excepted.
    QList<qint64> processes() const;
    void killProcesses();

private:
    QTemporaryDir m_dir;
    QByteArray m_previous;
};

// An end of a pair opened in raw mode, closed on destruction.
class PortEnd
{
public:
    explicit PortEnd(const QString &path);
    // End B of a pair of the current serial port directory, taken from the pair's
    // holder as a relay takes it; given back on destruction.
    static PortEnd *takeFromHolder(const QString &name);
    ~PortEnd();
    PortEnd(const PortEnd &) = delete;
    PortEnd &operator=(const PortEnd &) = delete;

    bool isOpen() const { return m_fd >= 0; }
    int fd() const { return m_fd; }
    bool writeAll(const QByteArray &data);
    // Reads exactly size bytes, or what came before the time ran out or the end
    // failed; a test compares the result.
    QByteArray read(qsizetype size, int timeoutMs = 10000);
    void close();

private:
    PortEnd() = default;
    int m_fd = -1;
    int m_lease = -1;
};

// A TCP service on a loopback address (127.0.0.1 unless told) that sends back every
// byte it receives.
class EchoServer
{
public:
    explicit EchoServer(const QString &address = QStringLiteral("127.0.0.1"));
    ~EchoServer();
    EchoServer(const EchoServer &) = delete;
    EchoServer &operator=(const EchoServer &) = delete;

    quint16 port() const { return m_port; }
    int connectionCount() const { return m_connections.load(); }
    // Ends every connection it has accepted (the listener stays).
    void closeConnections();

private:
    void acceptLoop();
    static void echo(int fd);

    int m_listener = -1;
    quint16 m_port = 0;
    std::atomic<int> m_connections{0};
    std::thread m_acceptThread;
    std::mutex m_mutex;
    std::vector<int> m_clients;
    std::vector<std::thread> m_echoThreads;
};

} // namespace SerialTestSupport
