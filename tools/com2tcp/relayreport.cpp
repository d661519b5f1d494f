#include "relayreport.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr size_t TapBytesPerLine = 256;
// Room for the tap while the reader lags: a few hundred lines.
constexpr size_t QueueLimit = 256 * 1024;
constexpr auto ReportInterval = std::chrono::milliseconds(500);
// A pipe with a free page takes a write this size without blocking.
constexpr size_t PipeChunk = 4096;
constexpr size_t LongestCommand = 64;
constexpr size_t FlushThreshold = 32 * 1024;

int64_t unixMilliseconds()
{
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return int64_t(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

bool ready(int fd, short events)
{
    pollfd check{fd, events, 0};
    return ::poll(&check, 1, 0) == 1 && (check.revents & events);
}

} // namespace

RelayReport::RelayReport(int input, int output)
    : m_input(input)
    , m_output(output)
    , m_lastReport(std::chrono::steady_clock::now())
{
    // A pipe of our own (the application's, a reader's) may be made non-blocking: its
    // write end is no one else's. A terminal is shared with whoever started us and a
    // file never blocks for long; those are asked with poll before each write.
    struct stat info{};
    if (::fstat(output, &info) == 0 && S_ISFIFO(info.st_mode)) {
        const int flags = ::fcntl(output, F_GETFL);
        m_outputNonBlocking = flags >= 0 && ::fcntl(output, F_SETFL, flags | O_NONBLOCK) == 0;
    }
}

void RelayReport::passed(int direction, const char *data, size_t size)
{
    m_counts[direction] += size;
    if (!m_tapOn)
        return;
    static const char Hex[] = "0123456789abcdef";
    char prefix[48];
    const int prefixLength = std::snprintf(prefix, sizeof prefix, "Tap %lld %c ",
                                           static_cast<long long>(unixMilliseconds()), direction == 0 ? '>' : '<');
    for (size_t offset = 0; offset < size; offset += TapBytesPerLine) {
        const size_t piece = std::min(TapBytesPerLine, size - offset);
        const size_t lineLength = size_t(prefixLength) + 2 * piece + 1;
        if (m_queue.size() + lineLength > QueueLimit || piece > m_tapBudget) {
            m_dropped += piece;
            continue;
        }
        m_tapBudget -= piece;
        const size_t start = m_queue.size();
        m_queue.resize(start + lineLength);
        char *out = &m_queue[start];
        std::memcpy(out, prefix, size_t(prefixLength));
        out += prefixLength;
        for (size_t i = 0; i < piece; ++i) {
            const auto byte = static_cast<unsigned char>(data[offset + i]);
            *out++ = Hex[byte >> 4];
            *out++ = Hex[byte & 15];
        }
        *out = '\n';
    }
    // Written in large pieces, at the latest on the next tick: a write per piece read
    // would double the relay's system calls.
    if (m_queue.size() >= FlushThreshold)
        flush();
}

void RelayReport::tick()
{
    m_tapBudget = TapBytesPerTick;
    readInput();
    if (std::chrono::steady_clock::now() - m_lastReport >= ReportInterval
        && (m_counts[0] != m_reported[0] || m_counts[1] != m_reported[1]))
        queueCounters();
    if (m_dropped > 0 && m_queue.size() < QueueLimit / 2) {
        m_queue += "TapDropped " + std::to_string(m_dropped) + '\n';
        m_dropped = 0;
    }
    flush();
}

void RelayReport::finish(const char *endLine)
{
    if (m_outputNonBlocking)
        ::fcntl(m_output, F_SETFL, ::fcntl(m_output, F_GETFL) & ~O_NONBLOCK);
    if (m_dropped > 0)
        m_queue += "TapDropped " + std::to_string(m_dropped) + '\n';
    queueCounters();
    m_queue += endLine;
    m_queue += '\n';
    size_t done = 0;
    while (done < m_queue.size()) {
        const ssize_t n = ::write(m_output, m_queue.data() + done, m_queue.size() - done);
        if (n > 0)
            done += size_t(n);
        else if (n < 0 && errno != EINTR && errno != EAGAIN)
            break;
    }
    m_queue.clear();
}

void RelayReport::queueCounters()
{
    m_queue += "Counters " + std::to_string(m_counts[0]) + ' ' + std::to_string(m_counts[1]) + '\n';
    m_reported[0] = m_counts[0];
    m_reported[1] = m_counts[1];
    m_lastReport = std::chrono::steady_clock::now();
}

void RelayReport::flush()
{
    size_t done = 0;
    if (m_outputNonBlocking) {
        while (done < m_queue.size()) {
            const ssize_t n = ::write(m_output, m_queue.data() + done, m_queue.size() - done);
            if (n <= 0)
                break;
            done += size_t(n);
        }
    } else {
        // Blocking output: poll says whether a page is free, and no write is larger.
        while (done < m_queue.size() && ready(m_output, POLLOUT)) {
            const ssize_t n = ::write(m_output, m_queue.data() + done, std::min(PipeChunk, m_queue.size() - done));
            if (n <= 0)
                break;
            done += size_t(n);
        }
    }
    m_queue.erase(0, done);
}

// Same for the input: no flags are changed, one read after poll said there is something.
void RelayReport::readInput()
{
    if (m_input < 0)
        return;
    pollfd check{m_input, POLLIN, 0};
    if (::poll(&check, 1, 0) != 1)
        return;
    if (check.revents & POLLNVAL) {
        m_input = -1;
        return;
    }
    char buffer[512];
    const ssize_t n = ::read(m_input, buffer, sizeof buffer);
    if (n <= 0) {
        if (n == 0 || (errno != EINTR && errno != EAGAIN))
            m_input = -1;
        return;
    }
    for (ssize_t i = 0; i < n; ++i) {
        const char c = buffer[i];
        if (c == '\n') {
            if (!m_inputLineTooLong)
                command(m_inputLine);
            m_inputLine.clear();
            m_inputLineTooLong = false;
        } else if (m_inputLine.size() < LongestCommand) {
            m_inputLine += c;
        } else {
            m_inputLineTooLong = true;
        }
    }
}

void RelayReport::command(const std::string &line)
{
    std::string text = line;
    while (!text.empty() && (text.back() == '\r' || text.back() == ' '))
        text.pop_back();
    if (text == "tap on")
        m_tapOn = true;
    else if (text == "tap off")
        m_tapOn = false;
    else
        return;
    // From this line on the tap lines follow the new setting.
    m_queue += m_tapOn ? "TapState on\n" : "TapState off\n";
}
