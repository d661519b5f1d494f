// The daemon's management channel, line by line, as the session reads it: bytes up to a
// newline, line ends dropped, UTF-8. The session's one piece of reading state, whether
// the log history is being replayed, follows the lines as the session lets it. Besides
// the sanitizers' findings (Qt's own assertions included: this build keeps them):
// every field is taken from the line itself, in the places the format puts it.

#include <QByteArray>
#include <QList>
#include <QString>

#include <cstddef>
#include <cstdint>

#include "fuzzsupport.h"
#include "vpn/ovpnmanagementline.h"

namespace {

using ovpn::ManagementLine;

void require(bool condition, const char *property, const ManagementLine &parsed)
{
    FuzzSupport::require(condition, property, parsed.line.toStdString());
}

void check(const ManagementLine &parsed)
{
    require(parsed.line.endsWith(parsed.payload), "the payload ends the line", parsed);
    switch (parsed.kind) {
    case ManagementLine::Kind::State:
        require(parsed.payload.contains(parsed.stateName), "the state name is in the line", parsed);
        require(parsed.payload.contains(parsed.reason), "the reason is in the line", parsed);
        break;
    case ManagementLine::Kind::Password:
        require(parsed.payload.contains(parsed.failureReason), "the failure reason is in the line", parsed);
        require(parsed.failureReason.isEmpty()
                    || parsed.passwordRequest == ManagementLine::PasswordRequest::VerificationFailed,
                "only a verification failure has a reason", parsed);
        break;
    case ManagementLine::Kind::Log:
        require(parsed.payload.endsWith(parsed.logText), "the log text ends the line", parsed);
        require(parsed.tunnelOpened.isEmpty()
                    || parsed.logText.startsWith(QStringLiteral("TUN/TAP device ") + parsed.tunnelOpened
                                                 + QStringLiteral(" opened")),
                "an opened tunnel's name is the one in the log text", parsed);
        require(!(parsed.tunnelClosed && !parsed.tunnelOpened.isEmpty()), "a tunnel opens or closes", parsed);
        break;
    case ManagementLine::Kind::ByteCount:
        require(parsed.payload.count(QLatin1Char(',')) == 1, "byte counts are two", parsed);
        break;
    case ManagementLine::Kind::Info:
    case ManagementLine::Kind::Hold:
    case ManagementLine::Kind::LogHistoryEnd:
    case ManagementLine::Kind::Fatal:
    case ManagementLine::Kind::InfoMessage:
    case ManagementLine::Kind::Success:
    case ManagementLine::Kind::Error:
    case ManagementLine::Kind::Other:
        break;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray input = FuzzSupport::bytes(data, size);
    bool inLogHistory = false;
    for (QByteArray line : input.split('\n')) {
        while (line.endsWith('\n') || line.endsWith('\r'))
            line.chop(1);
        const ManagementLine parsed = ManagementLine::parse(QString::fromUtf8(line), inLogHistory);
        check(parsed);
        if (parsed.kind == ManagementLine::Kind::Success && parsed.logReplayStarts)
            inLogHistory = true;
        else if (parsed.kind == ManagementLine::Kind::LogHistoryEnd)
            inLogHistory = false;
    }
    return 0;
}
