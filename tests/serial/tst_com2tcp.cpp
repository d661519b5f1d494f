#include <QtTest>

#include <QProcess>

#include <QFile>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <linux/securebits.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "serialtestsupport.h"

using namespace SerialTestSupport;

namespace {

constexpr uid_t Nobody = 65534;

// What a client of another user gets from a pair's holder.
enum class Outcome : char {
    Terminal = 'T',   // a terminal came
    Refused = 'R',    // connected, but no terminal came
    Unreachable = 'U' // the socket could not be reached
};

// In a child process: becomes uid (keeping the right to pass any directory when
// passDirectories is set, so only the holder's own check stands in the way), connects
// to the socket at path and reads the holder's answer.
Outcome askHolderAs(uid_t uid, bool passDirectories, const QString &path)
{
    const QByteArray socketPath = QFile::encodeName(path);
    int report[2];
    if (::pipe(report) != 0)
        return Outcome::Unreachable;
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(report[0]);
        char outcome = char(Outcome::Unreachable);
        // With this bit the capabilities stay when the effective user changes.
        if (passDirectories && ::prctl(PR_SET_SECUREBITS, SECBIT_NO_SETUID_FIXUP) != 0)
            ::_exit(3);
        if (::setresuid(uid, uid, uid) != 0 && (!passDirectories || ::setresuid(uid_t(-1), uid, uid_t(-1)) != 0))
            ::_exit(3);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, socketPath.constData(), sizeof address.sun_path - 1);
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0) {
            char byte = 0;
            iovec data{&byte, 1};
            alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
            msghdr message{};
            message.msg_iov = &data;
            message.msg_iovlen = 1;
            message.msg_control = control;
            message.msg_controllen = sizeof control;
            const ssize_t n = ::recvmsg(fd, &message, 0);
            const cmsghdr *header = n == 1 ? CMSG_FIRSTHDR(&message) : nullptr;
            outcome = char(header && header->cmsg_type == SCM_RIGHTS ? Outcome::Terminal : Outcome::Refused);
        }
        (void)!::write(report[1], &outcome, 1);
        ::_exit(0);
    }
    ::close(report[1]);
    char outcome = 0;
    const bool read = ::read(report[0], &outcome, 1) == 1;
    ::close(report[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    return read ? Outcome(outcome) : Outcome(0);
}

// Reads the relay's standard output up to and including the first line that
// begins with prefix; the lines read on the way are appended to seen.
bool waitForLine(QProcess &relay, const QByteArray &prefix, QList<QByteArray> &seen, QByteArray *line = nullptr)
{
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 20000) {
        while (relay.canReadLine()) {
            const QByteArray next = relay.readLine().trimmed();
            seen += next;
            if (next.startsWith(prefix)) {
                if (line)
                    *line = next;
                return true;
            }
        }
        if (!relay.waitForReadyRead(1000) && relay.state() != QProcess::Running)
            return false;
    }
    return false;
}

// A new relay for ROZIZER3 becomes the echo's connection number connection and takes
// text from COM3 there and back.
bool relayServes(const SerialDirGuard &dir, const EchoServer &echo, int connection, const QByteArray &text)
{
    QProcess relay;
    startRelay(relay, QStringLiteral("ROZIZER3"), echo.port());
    if (!QTest::qWaitFor([&] { return echo.connectionCount() == connection; }, 10000))
        return false;
    PortEnd a(dir.portPath(QStringLiteral("COM3")));
    return a.writeAll(text) && a.read(text.size()) == text;
}

} // namespace

class TestCom2tcp : public QObject
{
    Q_OBJECT

private slots:
    void bytesWrittenOnAComeBackOnA_data();
    void bytesWrittenOnAComeBackOnA();
    void endsWhenTheConnectionEnds();
    void endsWhenThePairIsRemoved();
    void refusesBadArguments_data();
    void refusesBadArguments();
    void programKeepsItsPortAcrossRelays();
    void holderServesOnlyItsUser_data();
    void holderServesOnlyItsUser();
    void relayRefusesAHolderOfAnotherUser();
    void countsAndTapsWhatPasses_data();
    void countsAndTapsWhatPasses();
    void tapOffAndClosedInputKeepTheRelay();
    void opensATerminalThatIsNoPair();
};

void TestCom2tcp::bytesWrittenOnAComeBackOnA_data()
{
    QTest::addColumn<QString>("portArgument");
    QTest::newRow("device name") << QStringLiteral("//./ROZIZER3");
    QTest::newRow("backslash device name") << QStringLiteral("\\\\.\\ROZIZER3");
}

void TestCom2tcp::bytesWrittenOnAComeBackOnA()
{
    QFETCH(QString, portArgument);
    SerialDirGuard dir;
    EchoServer echo;
    QVERIFY(echo.port() != 0);
    QCOMPARE(installPair(QStringLiteral("COM3"), QStringLiteral("ROZIZER3")), 0);

    QProcess relay;
    relay.start(toolPath(QStringLiteral("com2tcp")),
                {portArgument, QStringLiteral("127.0.0.1"), QString::number(echo.port())});
    QVERIFY(relay.waitForStarted());
    QTRY_COMPARE(echo.connectionCount(), 1);

    PortEnd a(dir.portPath(QStringLiteral("COM3")));
    QVERIFY(a.isOpen());
    const QByteArray data = allByteValues();
    QVERIFY(a.writeAll(data));
    QCOMPARE(a.read(data.size()), data);

    QByteArray block;
    for (int i = 0; i < 256; ++i)
        block += data;
    // Written and read in turns, as a serial program would, so neither way fills up.
    QByteArray back;
    for (qsizetype offset = 0; offset < block.size(); offset += 4096) {
        QVERIFY(a.writeAll(block.mid(offset, 4096)));
        back += a.read(qMin<qsizetype>(4096, block.size() - offset));
    }
    QCOMPARE(back.size(), block.size());
    QVERIFY(back == block);
    QCOMPARE(relay.state(), QProcess::Running);
}

void TestCom2tcp::endsWhenTheConnectionEnds()
{
    SerialDirGuard dir;
    EchoServer echo;
    QCOMPARE(installPair(QStringLiteral("COM3"), QStringLiteral("ROZIZER3")), 0);

    QProcess relay;
    relay.start(toolPath(QStringLiteral("com2tcp")),
                {QStringLiteral("//./ROZIZER3"), QStringLiteral("localhost"), QString::number(echo.port())});
    QVERIFY(relay.waitForStarted());
    QTRY_COMPARE(echo.connectionCount(), 1);

    echo.closeConnections();
    QVERIFY(relay.waitForFinished(10000));
    QCOMPARE(relay.exitCode(), 0);
    QVERIFY(relay.readAllStandardOutput().contains("Connection closed"));

    // The pair is untouched and a new relay can take end B again.
    QVERIFY(runTool(QStringLiteral("setupc"), {QStringLiteral("busynames"), QStringLiteral("ROZIZER3")}) == 0);
    QVERIFY(relayServes(dir, echo, 2, "again"));
}

void TestCom2tcp::endsWhenThePairIsRemoved()
{
    SerialDirGuard dir;
    EchoServer echo;
    QCOMPARE(installPair(QStringLiteral("COM3"), QStringLiteral("ROZIZER3")), 0);

    QProcess relay;
    startRelay(relay, QStringLiteral("ROZIZER3"), echo.port());
    QTRY_COMPARE(echo.connectionCount(), 1);

    QCOMPARE(runTool(QStringLiteral("setupc"), {QStringLiteral("remove"), QStringLiteral("0")}), 0);
    QVERIFY(relay.waitForFinished(10000));
    QVERIFY(relay.readAllStandardOutput().contains("Serial port closed"));
}

void TestCom2tcp::refusesBadArguments_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::newRow("no port number") << QStringList{QStringLiteral("//./ROZIZER3"), QStringLiteral("127.0.0.1")} << 2;
    QTest::newRow("port number 0") << QStringList{QStringLiteral("//./ROZIZER3"), QStringLiteral("127.0.0.1"), QStringLiteral("0")} << 2;
    QTest::newRow("port number too big") << QStringList{QStringLiteral("//./ROZIZER3"), QStringLiteral("127.0.0.1"), QStringLiteral("65536")} << 2;
    QTest::newRow("port number not a number") << QStringList{QStringLiteral("//./ROZIZER3"), QStringLiteral("127.0.0.1"), QStringLiteral("40x")} << 2;
    QTest::newRow("empty port name") << QStringList{QStringLiteral("//./"), QStringLiteral("127.0.0.1"), QStringLiteral("4001")} << 2;
    QTest::newRow("unknown port") << QStringList{QStringLiteral("//./ROZIZER4"), QStringLiteral("127.0.0.1"), QStringLiteral("4001")} << 1;
    QTest::newRow("unknown host") << QStringList{QStringLiteral("//./ROZIZER3"), QStringLiteral("no-such-host.invalid"), QStringLiteral("4001")} << 1;
    QTest::newRow("nobody listens") << QStringList{QStringLiteral("//./ROZIZER3"), QStringLiteral("127.0.0.1"), QStringLiteral("closed")} << 1;
}

void TestCom2tcp::refusesBadArguments()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    SerialDirGuard dir;
    QCOMPARE(installPair(QStringLiteral("COM3"), QStringLiteral("ROZIZER3")), 0);
    if (arguments.last() == QLatin1String("closed")) {
        // A port that was just free: bind and let go.
        EchoServer probe;
        arguments.last() = QString::number(probe.port());
    }
    QCOMPARE(runTool(QStringLiteral("com2tcp"), arguments), exitCode);
}

void TestCom2tcp::programKeepsItsPortAcrossRelays()
{
    SerialDirGuard dir;
    EchoServer echo;
    QCOMPARE(installPair(QStringLiteral("COM3"), QStringLiteral("ROZIZER3")), 0);
    PortEnd a(dir.portPath(QStringLiteral("COM3")));
    QVERIFY(a.isOpen());

    for (int relayNumber = 1; relayNumber <= 3; ++relayNumber) {
        QProcess relay;
        startRelay(relay, QStringLiteral("ROZIZER3"), echo.port());
        QTRY_COMPARE(echo.connectionCount(), relayNumber);
        const QByteArray data = "relay " + QByteArray::number(relayNumber) + '\0' + allByteValues();
        QVERIFY(a.writeAll(data));
        QCOMPARE(a.read(data.size()), data);
        // Killed as the application kills a relay it replaces; the port stays open.
        relay.kill();
        QVERIFY(relay.waitForFinished(10000));
    }
    // What the program writes while no relay runs waits for the next one.
    QVERIFY(a.writeAll("between"));
    QProcess relay;
    startRelay(relay, QStringLiteral("ROZIZER3"), echo.port());
    QCOMPARE(a.read(7), QByteArray("between"));
}

void TestCom2tcp::holderServesOnlyItsUser_data()
{
    QTest::addColumn<uid_t>("uid");
    QTest::addColumn<bool>("passDirectories");
    QTest::addColumn<Outcome>("expected");
    QTest::newRow("the pair's user") << ::getuid() << false << Outcome::Terminal;
    QTest::newRow("another user") << Nobody << false << Outcome::Unreachable;
    QTest::newRow("another user past the folder") << Nobody << true << Outcome::Refused;
}

void TestCom2tcp::holderServesOnlyItsUser()
{
    QFETCH(uid_t, uid);
    QFETCH(bool, passDirectories);
    QFETCH(Outcome, expected);
    if (::getuid() != 0)
        QFAIL("acting as another user needs root, as the other unprivileged-user tests");
    SerialDirGuard dir;
    EchoServer echo;
    // Only the pairs' folder may keep the other user out, not the test's own folder.
    QVERIFY(QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
                                                  | QFile::ReadOther | QFile::ExeOther));
    QCOMPARE(installPair(QStringLiteral("COM3"), QStringLiteral("ROZIZER3")), 0);

    QCOMPARE(askHolderAs(uid, passDirectories, dir.path() + QStringLiteral("/.pairs/ROZIZER3.sock")), expected);
    // The holder goes on serving its user.
    QVERIFY(relayServes(dir, echo, 1, "still"));
}

void TestCom2tcp::relayRefusesAHolderOfAnotherUser()
{
    if (::getuid() != 0)
        QFAIL("acting as another user needs root, as the other unprivileged-user tests");
    SerialDirGuard dir;
    EchoServer echo;
    QCOMPARE(installPair(QStringLiteral("COM3"), QStringLiteral("ROZIZER3")), 0);
    // Another user's socket under the name of a port, as if planted in the folder.
    const QByteArray planted = QFile::encodeName(dir.path() + QStringLiteral("/.pairs/ROZIZER7.sock"));
    const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, planted.constData(), sizeof address.sun_path - 1);
    QVERIFY(::bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0);
    QVERIFY(::listen(listener, 1) == 0);
    QVERIFY(::chown(planted.constData(), Nobody, Nobody) == 0);

    QProcess relay;
    startRelay(relay, QStringLiteral("ROZIZER7"), echo.port());
    QVERIFY(relay.waitForFinished(10000));
    ::close(listener);
    QCOMPARE(relay.exitCode(), 1);
    QVERIFY(relay.readAllStandardError().contains("not a socket of this user"));
    QCOMPARE(echo.connectionCount(), 0);
}

void TestCom2tcp::countsAndTapsWhatPasses_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<int>("tapLinesEachWay");
    QTest::newRow("AT command") << QByteArray("AT\r\n") << 1;
    QTest::newRow("every byte value") << allByteValues() << 1;
    // Longer than one tap line takes.
    QTest::newRow("300 bytes") << QByteArray(300, 'x') << 2;
}

void TestCom2tcp::countsAndTapsWhatPasses()
{
    QFETCH(QByteArray, data);
    QFETCH(int, tapLinesEachWay);
    SerialDirGuard dir;
    EchoServer echo;
    QCOMPARE(installPair(QStringLiteral("COM3"), QStringLiteral("ROZIZER3")), 0);
    PortEnd a(dir.portPath(QStringLiteral("COM3")));

    QProcess relay;
    startRelay(relay, QStringLiteral("ROZIZER3"), echo.port());
    QList<QByteArray> lines;
    QVERIFY(waitForLine(relay, "Relaying ", lines));
    // Counted, not tapped.
    QVERIFY(a.writeAll("xy"));
    QCOMPARE(a.read(2), QByteArray("xy"));
    QVERIFY(waitForLine(relay, "Counters 2 2", lines));
    relay.write("tap on\n");
    QVERIFY(waitForLine(relay, "TapState on", lines));
    lines.clear();
    QVERIFY(a.writeAll(data));
    QCOMPARE(a.read(data.size()), data);

    QByteArray countersLine;
    const QByteArray expectedCounters = "Counters " + QByteArray::number(2 + data.size()) + ' '
                                        + QByteArray::number(2 + data.size());
    QVERIFY(waitForLine(relay, expectedCounters, lines, &countersLine));
    QByteArray toNetwork;
    QByteArray fromNetwork;
    int linesToNetwork = 0;
    int linesFromNetwork = 0;
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    for (const QByteArray &line : std::as_const(lines)) {
        const QList<QByteArray> fields = line.split(' ');
        if (fields.value(0) != "Tap")
            continue;
        QCOMPARE(fields.size(), 4);
        QVERIFY(qAbs(fields[1].toLongLong() - now) < 60000);
        QVERIFY(fields[3].size() <= 2 * 256);
        if (fields[2] == ">") {
            toNetwork += QByteArray::fromHex(fields[3]);
            ++linesToNetwork;
        } else {
            QCOMPARE(fields[2], QByteArray("<"));
            fromNetwork += QByteArray::fromHex(fields[3]);
            ++linesFromNetwork;
        }
    }
    QCOMPARE(toNetwork, data);
    QCOMPARE(fromNetwork, data);
    QVERIFY(linesToNetwork >= tapLinesEachWay);
    QVERIFY(linesFromNetwork >= tapLinesEachWay);

    echo.closeConnections();
    QVERIFY(waitForLine(relay, "Connection closed", lines));
    // The last counters come once more right before the end.
    QCOMPARE(lines.value(lines.size() - 2), expectedCounters);
}

void TestCom2tcp::tapOffAndClosedInputKeepTheRelay()
{
    SerialDirGuard dir;
    EchoServer echo;
    QCOMPARE(installPair(QStringLiteral("COM3"), QStringLiteral("ROZIZER3")), 0);
    PortEnd a(dir.portPath(QStringLiteral("COM3")));
    QProcess relay;
    startRelay(relay, QStringLiteral("ROZIZER3"), echo.port());
    QList<QByteArray> lines;
    QVERIFY(waitForLine(relay, "Relaying ", lines));
    relay.write("tap on\n");
    QVERIFY(waitForLine(relay, "TapState on", lines));
    QVERIFY(a.writeAll("1"));
    QCOMPARE(a.read(1), QByteArray("1"));
    QVERIFY(waitForLine(relay, "Tap ", lines));
    relay.write("tap off\n");
    // The application may close the relay's input or never write to it.
    relay.closeWriteChannel();
    QVERIFY(waitForLine(relay, "TapState off", lines));
    lines.clear();
    QVERIFY(a.writeAll("untapped"));
    QCOMPARE(a.read(8), QByteArray("untapped"));
    QVERIFY(waitForLine(relay, "Counters 9 9", lines));
    for (const QByteArray &line : std::as_const(lines))
        QVERIFY2(!line.startsWith("Tap "), line.constData());
    QCOMPARE(relay.state(), QProcess::Running);
}

void TestCom2tcp::opensATerminalThatIsNoPair()
{
    // A terminal of the test's own stands for a real serial port: given by path, the
    // relay opens it as it is, with no pair involved.
    SerialDirGuard dir;
    EchoServer echo;
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    QVERIFY(master >= 0);
    QVERIFY(::grantpt(master) == 0 && ::unlockpt(master) == 0);
    const QString slave = QString::fromLocal8Bit(::ptsname(master));
    PortEnd line(slave); // raw mode, and keeps the terminal from hanging up
    QVERIFY(line.isOpen());

    QProcess relay;
    relay.start(toolPath(QStringLiteral("com2tcp")), {slave, QStringLiteral("127.0.0.1"), QString::number(echo.port())});
    QTRY_COMPARE(echo.connectionCount(), 1);
    const QByteArray data = "real port\r\n";
    QVERIFY(::write(master, data.constData(), size_t(data.size())) == data.size());
    QByteArray back;
    QTRY_VERIFY_WITH_TIMEOUT((back += [master] {
                                 char buffer[64];
                                 pollfd ready{master, POLLIN, 0};
                                 const ssize_t n = ::poll(&ready, 1, 100) == 1 ? ::read(master, buffer, sizeof buffer) : 0;
                                 return n > 0 ? QByteArray(buffer, n) : QByteArray();
                             }(), back == data), 10000);
    QCOMPARE(relay.state(), QProcess::Running);
    relay.kill();
    relay.waitForFinished();
    ::close(master);
}

QTEST_GUILESS_MAIN(TestCom2tcp)
#include "tst_com2tcp.moc"
