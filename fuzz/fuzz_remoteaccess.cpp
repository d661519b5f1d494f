// The device's remote-access answer: XML whose "dst_ip_port" element names the TCP port
// of the asked serial interface. Besides the sanitizers' findings: a port is only ever
// one from 1 to 65535 that the answer spells out in a "dst_ip_port" element, and a
// refusal always has a reason for the log.

#include <QByteArray>

#include <cstddef>
#include <cstdint>

#include "fuzzsupport.h"
#include "serial/remoteaccessanswer.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray xml = FuzzSupport::bytes(data, size);
    RemoteAccessAnswer::Problem problem = RemoteAccessAnswer::Problem::None;
    const std::optional<quint16> port = RemoteAccessAnswer::dstPort(xml, &problem);
    if (!port) {
        FuzzSupport::require(problem != RemoteAccessAnswer::Problem::None, "a refused answer has a problem");
        FuzzSupport::require(!RemoteAccessAnswer::describe(problem).isEmpty(), "a problem has a log text");
        return 0;
    }
    FuzzSupport::require(problem == RemoteAccessAnswer::Problem::None, "a port comes without a problem");
    FuzzSupport::require(*port >= 1, "a port is never 0");
    FuzzSupport::require(xml.contains("dst_ip_port"), "a port comes from a dst_ip_port element");
    return 0;
}
