#include "serialtestsupport.h"

#include "base/serialportdirectory.h"
#include "masterhandoff.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTest>
#include <QThread>
#include <QTimer>

#include "base/loggingcontrol.h"

#include <cerrno>
#include <csignal>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

namespace SerialTestSupport {

namespace {

QStringList g_lines;
QtMessageHandler g_previousHandler = nullptr;

void collectLine(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type == QtInfoMsg)
        g_lines.append(message);
    else if (g_previousHandler)
        g_previousHandler(type, context, message);
}

} // namespace

LogCollector::~LogCollector()
{
    stop();
}

void LogCollector::start(const QString &category)
{
    g_lines.clear();
    LoggingControl::set(4, category);
    g_previousHandler = qInstallMessageHandler(collectLine);
    m_started = true;
}

void LogCollector::stop()
{
    if (!m_started)
        return;
    qInstallMessageHandler(g_previousHandler);
    LoggingControl::set(0, QStringLiteral("None"));
    m_started = false;
}

void LogCollector::clear()
{
    g_lines.clear();
}

const QStringList &LogCollector::lines() const
{
    return g_lines;
}

int LogCollector::count(const char *function, const QString &text) const
{
    // The facility writes the function, "(): " and the text quoted.
    return int(g_lines.count(QString::fromLatin1(function) + QLatin1String("(): \"") + text + QLatin1Char('"')));
}

namespace {

// /proc/<pid>/stat: "pid (name) state ppid ...": the name and the state.
QPair<QString, QByteArray> nameAndState(qint64 pid)
{
    QFile file(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray stat = file.readAll();
    const qsizetype open = stat.indexOf('(');
    const qsizetype close = stat.lastIndexOf(')');
    if (open < 0 || close < open)
        return {};
    return {QString::fromUtf8(stat.mid(open + 1, close - open - 1)), stat.mid(close + 2, 1)};
}

} // namespace

QString processName(qint64 pid)
{
    return nameAndState(pid).first;
}

bool isAlive(qint64 pid)
{
    const QByteArray state = nameAndState(pid).second;
    return !state.isEmpty() && state != "Z";
}

QString toolPath(const QString &name)
{
    return qEnvironmentVariable("CORRIVO_BIN_DIR") + QLatin1Char('/') + name;
}

int runTool(const QString &name, const QStringList &arguments, QString *output)
{
    QProcess process;
    process.start(toolPath(name), arguments);
    if (!process.waitForStarted(30000) || !process.waitForFinished(30000)) {
        process.kill();
        process.waitForFinished();
        return -1;
    }
    if (output)
        *output = QString::fromUtf8(process.readAllStandardOutput());
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

bool waitPastDelay(int delayMs)
{
    QObject context;
    bool fired = false;
    QTimer::singleShot(delayMs, &context, [&fired] { fired = true; });
    return QTest::qWaitFor([&fired] { return fired; }, delayMs + 30000);
}

QString uniqueLoopbackAddress()
{
    static int counter = 0;
    const quint32 pid = quint32(::getpid());
    return QStringLiteral("127.%1.%2.%3").arg((pid >> 8) & 0xff).arg(pid & 0xff).arg(1 + (counter++ % 250));
}

int installPair(const QString &a, const QString &b)
{
    return runTool(QStringLiteral("setupc"),
                   {QStringLiteral("install"), QStringLiteral("PortName=") + a, QStringLiteral("PortName=") + b});
}

QByteArray allByteValues()
{
    QByteArray data;
    for (int value = 0; value < 256; ++value)
        data.append(char(value));
    return data;
}

void startRelay(QProcess &relay, const QString &b, quint16 port)
{
    relay.start(toolPath(QStringLiteral("com2tcp")),
                {QStringLiteral("//./") + b, QStringLiteral("127.0.0.1"), QString::number(port)});
}

SerialDirGuard::SerialDirGuard()
    : m_previous(qgetenv("CORRIVO_SERIAL_DIR"))
{
    if (m_dir.isValid())
        qputenv("CORRIVO_SERIAL_DIR", QFile::encodeName(m_dir.path()));
}

SerialDirGuard::~SerialDirGuard()
{
    killProcesses();
    if (m_previous.isEmpty())
        qunsetenv("CORRIVO_SERIAL_DIR");
    else
        qputenv("CORRIVO_SERIAL_DIR", m_previous);
}

bool SerialDirGuard::isValid() const
{
    return m_dir.isValid();
}

QString SerialDirGuard::path() const
{
    return m_dir.path();
}

QString SerialDirGuard::portPath(const QString &name) const
{
    return m_dir.filePath(name);
}

QList<qint64> SerialDirGuard::processes() const
{
    const QByteArray marker = "CORRIVO_SERIAL_DIR=" + QFile::encodeName(m_dir.path());
    QList<qint64> found;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString &entry : entries) {
        bool isNumber = false;
        const qint64 pid = entry.toLongLong(&isNumber);
        if (!isNumber || pid == qint64(::getpid()))
            continue;
        QFile environ(QStringLiteral("/proc/%1/environ").arg(pid));
        if (!environ.open(QIODevice::ReadOnly))
            continue;
        const QList<QByteArray> variables = environ.readAll().split('\0');
        if (variables.contains(marker))
            found.append(pid);
    }
    return found;
}

void SerialDirGuard::killProcesses()
{
    // Until none is left: a relay may start a process while the others die.
    const bool gone = QTest::qWaitFor([this] {
        const QList<qint64> left = processes();
        for (qint64 pid : left)
            ::kill(pid_t(pid), SIGKILL);
        return left.isEmpty();
    }, 2000);
    if (!gone)
        qWarning("processes of the test's serial directory are still running");
}

PortEnd::PortEnd(const QString &path)
{
    m_fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m_fd < 0)
        return;
    termios settings{};
    ::tcgetattr(m_fd, &settings);
    ::cfmakeraw(&settings);
    ::tcsetattr(m_fd, TCSANOW, &settings);
}

PortEnd *PortEnd::takeFromHolder(const QString &name)
{
    auto *end = new PortEnd;
    const int dir = MasterHandoff::openPrivateDirectory(QFile::encodeName(SerialPortDirectory::path()).toStdString() + "/.pairs", false);
    if (dir < 0)
        return end;
    std::string error;
    MasterHandoff::take(dir, MasterHandoff::socketName(name.toStdString()), end->m_fd, end->m_lease, error);
    ::close(dir);
    if (end->m_fd >= 0)
        ::fcntl(end->m_fd, F_SETFL, ::fcntl(end->m_fd, F_GETFL) | O_NONBLOCK);
    return end;
}

PortEnd::~PortEnd()
{
    close();
}

void PortEnd::close()
{
    if (m_fd >= 0)
        ::close(m_fd);
    if (m_lease >= 0)
        ::close(m_lease);
    m_fd = -1;
    m_lease = -1;
}

bool PortEnd::writeAll(const QByteArray &data)
{
    qsizetype done = 0;
    while (done < data.size()) {
        pollfd fd = {m_fd, POLLOUT, 0};
        if (::poll(&fd, 1, 10000) <= 0)
            return false;
        const ssize_t n = ::write(m_fd, data.constData() + done, size_t(data.size() - done));
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        if (n > 0)
            done += n;
    }
    return true;
}

QByteArray PortEnd::read(qsizetype size, int timeoutMs)
{
    QByteArray data;
    char buffer[4096];
    while (data.size() < size) {
        pollfd fd = {m_fd, POLLIN, 0};
        if (::poll(&fd, 1, timeoutMs) <= 0)
            break;
        const ssize_t n = ::read(m_fd, buffer, size_t(qMin<qsizetype>(sizeof buffer, size - data.size())));
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
            break;
        if (n > 0)
            data.append(buffer, n);
    }
    return data;
}

EchoServer::EchoServer(const QString &host)
{
    m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    ::inet_pton(AF_INET, host.toLatin1().constData(), &address.sin_addr);
    socklen_t length = sizeof address;
    if (::bind(m_listener, reinterpret_cast<sockaddr *>(&address), length) != 0 || ::listen(m_listener, 16) != 0
        || ::getsockname(m_listener, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        ::close(m_listener);
        m_listener = -1;
        return;
    }
    m_port = ntohs(address.sin_port);
    m_acceptThread = std::thread([this] { acceptLoop(); });
}

EchoServer::~EchoServer()
{
    if (m_listener >= 0) {
        ::shutdown(m_listener, SHUT_RDWR);
        m_acceptThread.join();
        ::close(m_listener);
    }
    closeConnections();
    for (std::thread &thread : m_echoThreads)
        thread.join();
    for (int fd : m_clients)
        ::close(fd);
}

void EchoServer::closeConnections()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    for (int fd : m_clients)
        ::shutdown(fd, SHUT_RDWR);
}

void EchoServer::acceptLoop()
{
    for (;;) {
        const int client = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        ++m_connections;
        std::lock_guard<std::mutex> lock(m_mutex);
        m_clients.push_back(client);
        m_echoThreads.emplace_back(&EchoServer::echo, client);
    }
}

void EchoServer::echo(int fd)
{
    char buffer[16384];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0)
            break;
        ssize_t done = 0;
        while (done < n) {
            const ssize_t written = ::send(fd, buffer + done, size_t(n - done), MSG_NOSIGNAL);
            if (written <= 0)
                return;
            done += written;
        }
    }
}

} // namespace SerialTestSupport
