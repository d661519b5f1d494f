#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// The device's answer to a remote-access request: an XML document whose
// "dst_ip_port" element holds the TCP port that serves the asked serial interface.
// Pure (bytes in, result out), so that it can be fuzzed.
namespace RemoteAccessAnswer {

// What parsing made of an answer.
enum class Problem {
    None,
    MalformedXml,  // not well-formed XML
    NoPort,        // no "dst_ip_port", or the last one is not a number from 1 to 65535
};

// The port of the answer's last "dst_ip_port" element, or nothing with the reason
// in *problem (when given).
std::optional<quint16> dstPort(const QByteArray &xml, Problem *problem = nullptr);

// The log text for a problem ("XML has error", "No dst_ip_port"; "" for None).
QString describe(Problem problem);

} // namespace RemoteAccessAnswer
