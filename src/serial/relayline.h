#pragma once

#include <QByteArray>
#include <QByteArrayView>

// One line of com2tcp's standard output, as the relay's protocol (described at the top
// of tools/com2tcp/com2tcp.cpp) has it. The relay is a program outside the
// application: a line that does not follow the protocol exactly is Unknown, nothing
// more.
struct RelayLine
{
    enum class Kind {
        Unknown,
        Relaying,         // the connection is up
        Counters,         // first: serial to network, second: network to serial
        Tap,              // time, toNetwork, bytes
        TapDropped,       // first: bytes left out
        TapState,         // tapOn
        ConnectionClosed,
        SerialClosed,
    };

    Kind kind = Kind::Unknown;
    quint64 first = 0;
    quint64 second = 0;
    qint64 time = 0;       // unix milliseconds
    bool toNetwork = false;
    bool tapOn = false;
    QByteArray bytes;

    // The longest line the relay writes is a tap line of 256 bytes.
    static constexpr qsizetype MaxTapBytes = 256;
    static constexpr qsizetype MaxLineLength = 64 + 2 * MaxTapBytes;

    // line without its line break.
    static RelayLine parse(QByteArrayView line);
};
