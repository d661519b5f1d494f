#include <QtTest>

#include "byterelay.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <functional>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/syscall.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

// The relay loop that the pair holder (master to master) and com2tcp (serial end to
// socket) both run, on real descriptors: socket pairs and pseudo-terminals. The peers
// on the outside are driven by the test, slower than the relay on purpose, so that the
// relay meets full receivers, partial writes and ends on either side.

namespace {

enum class Kind {
    Socket,
    Terminal,
};

// One side of the relay: the descriptor the relay gets and the one the test drives.
struct Side
{
    int inner = -1;
    int outer = -1;

    Side() = default;
    Side(const Side &) = delete;
    Side &operator=(const Side &) = delete;
    ~Side()
    {
        closeOuter();
        if (inner >= 0)
            ::close(inner);
    }
    void closeOuter()
    {
        if (outer >= 0)
            ::close(outer);
        outer = -1;
    }
    bool valid() const { return inner >= 0 && outer >= 0; }
};

// Small socket buffers make the relay meet a full receiver within a few kilobytes.
void makeSide(Kind kind, Side &side)
{
    switch (kind) {
    case Kind::Socket: {
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
            return;
        const int size = 4096;
        for (int fd : fds) {
            ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
            ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
        }
        side.inner = fds[0];
        side.outer = fds[1];
        break;
    }
    case Kind::Terminal: {
        side.inner = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (side.inner < 0 || ::grantpt(side.inner) != 0 || ::unlockpt(side.inner) != 0)
            return;
        char name[256];
        if (::ptsname_r(side.inner, name, sizeof name) != 0)
            return;
        side.outer = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (side.outer >= 0 && !ByteRelay::setRawMode(side.outer))
            side.closeOuter();
        break;
    }
    }
    if (side.inner >= 0 && !ByteRelay::setNonBlocking(side.inner))
        side.closeOuter();
    if (side.outer >= 0 && !ByteRelay::setNonBlocking(side.outer))
        side.closeOuter();
}

// The two sides of one relay.
struct Sides
{
    Sides(Kind firstKind, Kind secondKind)
    {
        makeSide(firstKind, first);
        makeSide(secondKind, second);
    }
    bool valid() const { return first.valid() && second.valid(); }

    Side first;
    Side second;
};

// The test's peers never block for good: a relay that stops moving bytes fails the
// test instead of hanging it.
constexpr int StallMs = 10000;

bool writeAll(int fd, const QByteArray &data)
{
    for (qsizetype done = 0; done < data.size();) {
        const ssize_t n = ::write(fd, data.constData() + done, size_t(data.size() - done));
        if (n > 0) {
            done += n;
            continue;
        }
        pollfd ready{fd, POLLOUT, 0};
        if (errno != EAGAIN || ::poll(&ready, 1, StallMs) <= 0)
            return false;
    }
    return true;
}

// Reads in small pieces until size bytes came, the end came or nothing came for a
// while.
QByteArray readSlowly(int fd, qsizetype size)
{
    QByteArray data;
    char piece[700];
    while (data.size() < size) {
        const ssize_t n = ::read(fd, piece, std::min<size_t>(sizeof piece, size_t(size - data.size())));
        if (n > 0) {
            data.append(piece, n);
            continue;
        }
        pollfd ready{fd, POLLIN, 0};
        if (n == 0 || errno != EAGAIN || ::poll(&ready, 1, StallMs) <= 0)
            break;
    }
    return data;
}

QByteArray pattern(qsizetype size, int seed)
{
    QByteArray data(size, Qt::Uninitialized);
    quint32 value = quint32(seed) * 2654435761u + 1;
    for (qsizetype i = 0; i < size; ++i) {
        value = value * 1103515245u + 12345u;
        data[i] = char(value >> 16);
    }
    return data;
}

// ByteRelay::run between two sides on a thread of its own. When it goes, the peers go
// first, so that a relay a failed check left running ends too.
class Relay
{
public:
    explicit Relay(Sides &sides, std::function<bool()> keepGoing = {}, int tickMs = -1)
        : m_first(sides.first)
        , m_second(sides.second)
        , m_thread([this, keepGoing, tickMs] {
            m_tid = ::gettid();
            m_end = int(ByteRelay::run(m_first.inner, m_second.inner, keepGoing, tickMs));
            m_done = true;
        })
    {
    }
    ~Relay()
    {
        m_first.closeOuter();
        m_second.closeOuter();
        m_thread.join();
    }
    Relay(const Relay &) = delete;
    Relay &operator=(const Relay &) = delete;

    bool done() const { return m_done; }
    ByteRelay::End end() const { return ByteRelay::End(m_end.load()); }

    // True while the relay thread sleeps (in poll: it has nothing else to wait in).
    // Blocked in poll() with no timeout: nothing it waits for was ready when it went to
    // sleep, and nothing wakes it but a change on its descriptors, so it cannot be spinning.
    bool blockedWithoutTimeout() const
    {
        QFile call(QStringLiteral("/proc/self/task/%1/syscall").arg(m_tid.load()));
        if (m_tid == 0 || !asleep() || !call.open(QIODevice::ReadOnly))
            return false;
        const QList<QByteArray> fields = call.readAll().trimmed().split(' ');
        if (fields.size() < 4)
            return false;
        bool ok = false;
        const qulonglong number = fields.at(0).toULongLong(&ok);
        const qulonglong timeout = fields.at(3).toULongLong(&ok, 16);
        if (!ok)
            return false;
        if (number == SYS_poll)
            return (timeout & 0xffffffffu) == 0xffffffffu;  // an int of -1
        if (number == SYS_ppoll)
            return timeout == 0;  // no timespec
        return false;
    }

    bool asleep() const
    {
        QFile stat(QStringLiteral("/proc/self/task/%1/stat").arg(m_tid.load()));
        if (m_tid == 0 || !stat.open(QIODevice::ReadOnly))
            return false;
        const QByteArray text = stat.readAll();
        const qsizetype close = text.lastIndexOf(')');
        return close > 0 && text.mid(close + 2, 1) == "S";
    }

private:
    Side &m_first;
    Side &m_second;
    std::atomic<pid_t> m_tid{0};
    std::atomic<int> m_end{-1};
    std::atomic<bool> m_done{false};
    std::thread m_thread;
};

} // namespace

Q_DECLARE_METATYPE(Kind)

class TestByteRelay : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void bothWaysCarryEveryByteThroughFullReceivers_data();
    void bothWaysCarryEveryByteThroughFullReceivers();
    void anEndedSideIsFlushedFirst_data();
    void anEndedSideIsFlushedFirst();
    void aReceiverThatLeftEndsTheRelay();
    void aHungUpSideDoesNotKeepTheRelayAwake();
    void stopsWhenAskedWhileIdleOrBusy_data();
    void stopsWhenAskedWhileIdleOrBusy();
};

void TestByteRelay::initTestCase()
{
    // Writing to a socket whose peer stopped reading raises SIGPIPE; com2tcp and the
    // pair holder ignore it as well.
    ::signal(SIGPIPE, SIG_IGN);
}

void TestByteRelay::bothWaysCarryEveryByteThroughFullReceivers_data()
{
    QTest::addColumn<Kind>("firstKind");
    QTest::addColumn<Kind>("secondKind");
    QTest::newRow("socket to socket") << Kind::Socket << Kind::Socket;
    QTest::newRow("terminal to socket (com2tcp)") << Kind::Terminal << Kind::Socket;
    QTest::newRow("terminal to terminal (pair holder)") << Kind::Terminal << Kind::Terminal;
}

// Both peers write far more than every buffer on the way holds while reading in small
// pieces, so both directions keep hitting a full receiver at the same time.
void TestByteRelay::bothWaysCarryEveryByteThroughFullReceivers()
{
    QFETCH(Kind, firstKind);
    QFETCH(Kind, secondKind);
    Sides sides(firstKind, secondKind);
    QVERIFY(sides.valid());
    Side &first = sides.first;
    Side &second = sides.second;
    Relay relay(sides);

    const QByteArray forth = pattern(1 << 20, 1);
    const QByteArray back = pattern(1 << 20, 2);
    std::atomic<bool> forthWritten{false};
    std::atomic<bool> backWritten{false};
    std::thread forthWriter([&] { forthWritten = writeAll(first.outer, forth); });
    std::thread backWriter([&] { backWritten = writeAll(second.outer, back); });
    QByteArray backRead;
    std::thread backReader([&] { backRead = readSlowly(first.outer, back.size()); });
    const QByteArray forthRead = readSlowly(second.outer, forth.size());
    backReader.join();
    forthWriter.join();
    backWriter.join();

    QVERIFY(forthWritten);
    QVERIFY(backWritten);
    QCOMPARE(forthRead.size(), forth.size());
    QVERIFY(forthRead == forth);
    QCOMPARE(backRead.size(), back.size());
    QVERIFY(backRead == back);
    QVERIFY(!relay.done());
}

void TestByteRelay::anEndedSideIsFlushedFirst_data()
{
    QTest::addColumn<Kind>("kind");
    QTest::addColumn<bool>("firstEnds");
    QTest::newRow("socket, first ends") << Kind::Socket << true;
    QTest::newRow("socket, second ends") << Kind::Socket << false;
    QTest::newRow("terminal, first ends") << Kind::Terminal << true;
    QTest::newRow("terminal, second ends") << Kind::Terminal << false;
}

// A side sends more than the receiver holds and goes away before anything was read on
// the other side: the relay holds the rest when the end comes, every byte still
// arrives, and then the relay reports that side's end.
void TestByteRelay::anEndedSideIsFlushedFirst()
{
    QFETCH(Kind, kind);
    QFETCH(bool, firstEnds);
    Sides sides(firstEnds ? kind : Kind::Socket, firstEnds ? Kind::Socket : kind);
    QVERIFY(sides.valid());
    Side &first = sides.first;
    Side &second = sides.second;
    Relay relay(sides);
    Side &ending = firstEnds ? first : second;
    Side &staying = firstEnds ? second : first;

    // Fits into the relay's buffer, so the writer is done without a reader.
    const QByteArray data = pattern(48 * 1024, 3);
    QVERIFY(writeAll(ending.outer, data));
    ending.closeOuter();
    QTRY_VERIFY(relay.asleep());
    QVERIFY(!relay.done());

    const QByteArray received = readSlowly(staying.outer, data.size());
    QCOMPARE(received.size(), data.size());
    QVERIFY(received == data);
    QTRY_VERIFY(relay.done());
    QCOMPARE(relay.end(), firstEnds ? ByteRelay::End::FirstEnded : ByteRelay::End::SecondEnded);
}

// The side bytes go to stops taking them (its peer still open): the write fails and
// the relay stops with that side's end.
void TestByteRelay::aReceiverThatLeftEndsTheRelay()
{
    Sides sides(Kind::Terminal, Kind::Socket);
    QVERIFY(sides.valid());
    Side &first = sides.first;
    Side &second = sides.second;
    Relay relay(sides);

    QVERIFY(writeAll(first.outer, "before"));
    QCOMPARE(readSlowly(second.outer, 6), QByteArray("before"));
    QCOMPARE(::shutdown(second.outer, SHUT_RD), 0);
    QVERIFY(writeAll(first.outer, "after"));
    QTRY_VERIFY(relay.done());
    QCOMPARE(relay.end(), ByteRelay::End::SecondEnded);
}

// The first side's bytes fill the relay and the second side takes none, then the
// first side hangs up. Until the second side reads again there is nothing to do: the
// relay must sleep, not wake up again and again to the hang-up it cannot act on yet.
void TestByteRelay::aHungUpSideDoesNotKeepTheRelayAwake()
{
    Sides sides(Kind::Socket, Kind::Socket);
    QVERIFY(sides.valid());
    Side &first = sides.first;
    Side &second = sides.second;
    Relay relay(sides);

    // Full when the relay sleeps and the first side still takes nothing: then it no
    // longer reads, so its buffer is full too.
    const QByteArray piece = pattern(1024, 5);
    QByteArray sent;
    for (;;) {
        const ssize_t n = ::write(first.outer, piece.constData(), size_t(piece.size()));
        if (n > 0) {
            sent.append(piece.constData(), n);
            continue;
        }
        QCOMPARE(errno, EAGAIN);
        QTRY_VERIFY(relay.asleep());
        pollfd room{first.outer, POLLOUT, 0};
        if (::poll(&room, 1, 0) == 0)
            break;
    }
    QVERIFY(sent.size() > 64 * 1024);
    first.closeOuter();

    QTRY_VERIFY2(relay.blockedWithoutTimeout(), "the relay runs while there is nothing it can do");
    QVERIFY(!relay.done());

    const QByteArray received = readSlowly(second.outer, sent.size());
    QCOMPARE(received.size(), sent.size());
    QVERIFY(received == sent);
    QTRY_VERIFY(relay.done());
    QCOMPARE(relay.end(), ByteRelay::End::FirstEnded);
}

void TestByteRelay::stopsWhenAskedWhileIdleOrBusy_data()
{
    QTest::addColumn<bool>("busy");
    QTest::newRow("idle") << false;
    QTest::newRow("bytes flowing") << true;
}

// The pair holder asks whether to go on at least once a tick, also while bytes keep
// it from ever waiting a whole tick.
void TestByteRelay::stopsWhenAskedWhileIdleOrBusy()
{
    QFETCH(bool, busy);
    Sides sides(Kind::Terminal, Kind::Terminal);
    QVERIFY(sides.valid());
    Side &first = sides.first;
    Side &second = sides.second;
    std::atomic<bool> stop{false};
    std::atomic<int> asked{0};
    Relay relay(sides,
                [&] {
                    ++asked;
                    return !stop;
                },
                50);

    std::atomic<bool> flowing{busy};
    std::atomic<qint64> moved{0};
    std::thread writer([&] {
        const QByteArray data = pattern(4096, 6);
        while (flowing) {
            if (::write(first.outer, data.constData(), size_t(data.size())) < 0) {
                pollfd room{first.outer, POLLOUT, 0};
                ::poll(&room, 1, 20);
            }
        }
    });
    std::thread reader([&] {
        char buffer[4096];
        while (flowing) {
            const ssize_t n = ::read(second.outer, buffer, sizeof buffer);
            if (n > 0)
                moved += n;
            pollfd ready{second.outer, POLLIN, 0};
            ::poll(&ready, 1, 20);
        }
    });
    // Ends the peers before the relay goes, also when a check below fails.
    const auto joinPeers = qScopeGuard([&] {
        flowing = false;
        writer.join();
        reader.join();
    });
    if (busy)
        QTRY_VERIFY(moved > 256 * 1024);
    QTRY_VERIFY(asked > 1);

    stop = true;
    QTRY_VERIFY(relay.done());
    QCOMPARE(relay.end(), ByteRelay::End::Stopped);
}

QTEST_GUILESS_MAIN(TestByteRelay)
#include "tst_byterelay.moc"
