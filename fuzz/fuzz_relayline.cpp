// com2tcp's output lines as the application reads them (RelayLine), fed through a
// port's monitor as the relay's output would be, line by line. Besides the
// sanitizers' findings: a line is only ever of a kind when it is written exactly in
// that kind's form, tap bytes stay within a line's share, the counters never shrink and
// the monitor's ring never outgrows its capacity.

#include <QByteArray>
#include <QJsonArray>

#include <cstddef>
#include <cstdint>

#include "fuzzsupport.h"
#include "serial/portmonitor.h"
#include "serial/relayline.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray output = FuzzSupport::bytes(data, size);
    PortMonitor monitor;
    monitor.setMonitor(true);
    monitor.relayStarted();
    quint64 toNetwork = 0;
    quint64 fromNetwork = 0;
    for (const QByteArray &line : output.split('\n')) {
        const RelayLine parsed = RelayLine::parse(line);
        switch (parsed.kind) {
        case RelayLine::Kind::Tap:
            FuzzSupport::require(!parsed.bytes.isEmpty() && parsed.bytes.size() <= RelayLine::MaxTapBytes,
                                 "a tap line holds 1 to 256 bytes");
            FuzzSupport::require(line.startsWith("Tap ") && line.contains(parsed.bytes.toHex()),
                                 "tap bytes are the line's own hex");
            FuzzSupport::require(parsed.time >= 0, "a tap time is not negative");
            break;
        case RelayLine::Kind::Counters:
            FuzzSupport::require(line.startsWith("Counters "), "counters come from a Counters line");
            break;
        case RelayLine::Kind::Unknown:
            FuzzSupport::require(parsed.bytes.isEmpty() && parsed.first == 0 && parsed.second == 0,
                                 "an unknown line carries nothing");
            break;
        case RelayLine::Kind::Relaying:
        case RelayLine::Kind::TapDropped:
        case RelayLine::Kind::TapState:
        case RelayLine::Kind::ConnectionClosed:
        case RelayLine::Kind::SerialClosed:
            FuzzSupport::require(parsed.bytes.isEmpty(), "only a tap line carries bytes");
            break;
        }
        monitor.take(parsed);
        FuzzSupport::require(monitor.toNetwork() >= toNetwork && monitor.fromNetwork() >= fromNetwork,
                             "the counters never shrink");
        toNetwork = monitor.toNetwork();
        fromNetwork = monitor.fromNetwork();
    }
    FuzzSupport::require(monitor.records().size() <= size_t(PortMonitor::Capacity), "the ring keeps its capacity");
    const QJsonArray records = monitor.recordsSince(0).value(QStringLiteral("records")).toArray();
    FuzzSupport::require(records.size() <= PortMonitor::MaxRecordsPerAnswer, "an answer keeps its bound");
    return 0;
}
