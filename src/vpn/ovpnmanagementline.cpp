#include "vpn/ovpnmanagementline.h"

#include <QRegularExpression>
#include <QStringList>

namespace ovpn {

namespace {

void parseState(ManagementLine &parsed)
{
    const QStringList fields = parsed.payload.split(QLatin1Char(','));
    if (fields.size() < 2)
        return;
    parsed.kind = ManagementLine::Kind::State;
    parsed.stateName = fields.value(1);
    parsed.reason = fields.value(2);
    parsed.localAddress = fields.value(3);
    parsed.remoteAddress = fields.value(4);
    parsed.remotePort = fields.value(5);
}

void parsePassword(ManagementLine &parsed)
{
    using Request = ManagementLine::PasswordRequest;
    const QString &payload = parsed.payload;
    parsed.kind = ManagementLine::Kind::Password;
    if (payload.startsWith(QLatin1String("Verification Failed: 'Auth'"))) {
        parsed.passwordRequest = Request::VerificationFailed;
        const int quote = payload.indexOf(QLatin1String("['"));
        if (quote >= 0) {
            // The reason is what follows "['", less the "']" that closes it; in a line
            // cut short the two may overlap, and then there is nothing to take off.
            parsed.failureReason = payload.mid(quote + 2);
            if (parsed.failureReason.endsWith(QLatin1String("']")))
                parsed.failureReason.chop(2);
        }
    } else if (payload.startsWith(QLatin1String("Need 'Auth'"))) {
        parsed.passwordRequest = Request::Auth;
    } else if (payload.startsWith(QLatin1String("Need 'HTTP Proxy'"))) {
        parsed.passwordRequest = Request::HttpProxy;
    } else if (payload.startsWith(QLatin1String("Need '"))) {
        parsed.passwordRequest = Request::OtherSecret;
    }
}

void parseLog(ManagementLine &parsed)
{
    const QString &payload = parsed.payload;
    parsed.kind = ManagementLine::Kind::Log;
    const int first = payload.indexOf(QLatin1Char(','));
    const int second = first >= 0 ? payload.indexOf(QLatin1Char(','), first + 1) : -1;
    parsed.logFlags = second > first ? payload.mid(first + 1, second - first - 1) : QString();
    parsed.logText = second >= 0 ? payload.mid(second + 1) : payload;
    parsed.logError = parsed.logFlags.contains(QLatin1Char('F')) || parsed.logFlags.contains(QLatin1Char('N'))
        || parsed.logText.startsWith(QLatin1String("ERROR:"));

    static const QRegularExpression opened(QStringLiteral("^TUN/TAP device (\\S+) opened"));
    const QRegularExpressionMatch match = opened.match(parsed.logText);
    if (match.hasMatch())
        parsed.tunnelOpened = match.captured(1);
    else
        parsed.tunnelClosed = parsed.logText.startsWith(QLatin1String("Closing TUN/TAP interface"));
}

void parseByteCount(ManagementLine &parsed)
{
    const QStringList counts = parsed.payload.split(QLatin1Char(','));
    if (counts.size() != 2)
        return;
    parsed.kind = ManagementLine::Kind::ByteCount;
    parsed.bytesIn = counts[0].toLongLong();
    parsed.bytesOut = counts[1].toLongLong();
}

void parseSuccess(ManagementLine &parsed)
{
    parsed.kind = ManagementLine::Kind::Success;
    parsed.logReplayStarts = parsed.payload.contains(QLatin1String("real-time log notification set to ON"));
    parsed.credentialEntered = parsed.payload.contains(QLatin1String("entered"));
}

} // namespace

ManagementLine ManagementLine::parse(const QString &line, bool inLogHistory)
{
    ManagementLine parsed;
    parsed.line = line;
    if (inLogHistory && !line.startsWith(QLatin1Char('>'))) {
        if (line == QLatin1String("END")) {
            parsed.kind = Kind::LogHistoryEnd;
        } else {
            parsed.payload = line;
            parseLog(parsed);
        }
        return parsed;
    }

    const int colon = line.indexOf(QLatin1Char(':'));
    const QString kind = colon > 0 ? line.left(colon) : line;
    parsed.payload = colon > 0 ? line.mid(colon + 1) : QString();

    if (kind == QLatin1String(">INFO"))
        parsed.kind = Kind::Info;
    else if (kind == QLatin1String(">HOLD"))
        parsed.kind = Kind::Hold;
    else if (kind == QLatin1String(">STATE"))
        parseState(parsed);
    else if (kind == QLatin1String(">PASSWORD"))
        parsePassword(parsed);
    else if (kind == QLatin1String(">LOG"))
        parseLog(parsed);
    else if (kind == QLatin1String(">FATAL"))
        parsed.kind = Kind::Fatal;
    else if (kind == QLatin1String(">BYTECOUNT"))
        parseByteCount(parsed);
    else if (kind == QLatin1String(">INFOMSG"))
        parsed.kind = Kind::InfoMessage;
    else if (kind == QLatin1String("SUCCESS"))
        parseSuccess(parsed);
    else if (kind == QLatin1String("ERROR"))
        parsed.kind = Kind::Error;
    return parsed;
}

} // namespace ovpn
