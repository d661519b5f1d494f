#include "serial/relayline.h"

#include <limits>

namespace {

// A decimal number of at most 19 digits: no sign, no spaces, no leading '+'.
bool number(QByteArrayView text, quint64 &value)
{
    if (text.isEmpty() || text.size() > 19)
        return false;
    value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + quint64(c - '0');
    }
    return true;
}

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

bool hexBytes(QByteArrayView text, QByteArray &bytes)
{
    if (text.isEmpty() || text.size() % 2 != 0 || text.size() > 2 * RelayLine::MaxTapBytes)
        return false;
    bytes.resize(text.size() / 2);
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        const int high = hexDigit(text[2 * i]);
        const int low = hexDigit(text[2 * i + 1]);
        if (high < 0 || low < 0)
            return false;
        bytes[i] = char(high << 4 | low);
    }
    return true;
}

// Splits at single spaces into exactly count fields; false for any other shape.
template<int Count>
bool fields(QByteArrayView line, QByteArrayView (&out)[Count])
{
    qsizetype start = 0;
    for (int i = 0; i < Count; ++i) {
        const qsizetype space = i + 1 < Count ? line.indexOf(' ', start) : line.size();
        if (space < 0)
            return false;
        out[i] = line.sliced(start, space - start);
        start = space + 1;
    }
    return out[Count - 1].indexOf(' ') < 0;
}

} // namespace

RelayLine RelayLine::parse(QByteArrayView line)
{
    RelayLine result;
    if (line.size() > MaxLineLength)
        return result;
    if (line.endsWith('\r'))
        line.chop(1);

    if (line == "Connection closed") {
        result.kind = Kind::ConnectionClosed;
    } else if (line == "Serial port closed") {
        result.kind = Kind::SerialClosed;
    } else if (line.startsWith("Relaying ")) {
        result.kind = Kind::Relaying;
    } else if (line.startsWith("Counters ")) {
        QByteArrayView parts[3];
        if (fields(line, parts) && number(parts[1], result.first) && number(parts[2], result.second))
            result.kind = Kind::Counters;
    } else if (line.startsWith("TapDropped ")) {
        QByteArrayView parts[2];
        if (fields(line, parts) && number(parts[1], result.first))
            result.kind = Kind::TapDropped;
    } else if (line == "TapState on" || line == "TapState off") {
        result.kind = Kind::TapState;
        result.tapOn = line.endsWith("on");
    } else if (line.startsWith("Tap ")) {
        QByteArrayView parts[4];
        quint64 time = 0;
        if (fields(line, parts) && number(parts[1], time) && time <= quint64(std::numeric_limits<qint64>::max())
            && (parts[2] == ">" || parts[2] == "<") && hexBytes(parts[3], result.bytes)) {
            result.kind = Kind::Tap;
            result.time = qint64(time);
            result.toNetwork = parts[2] == ">";
        }
    }
    if (result.kind == Kind::Unknown)
        return {};
    if (result.kind != Kind::Tap)
        result.bytes.clear();
    return result;
}
