#pragma once

#include <QString>
#include <QtGlobal>

// One line of the openvpn daemon's management channel, read for what it says. What to
// do about it is the session's business (DaemonSession); this only parses, so that the
// daemon's text, which a profile's server can partly choose, is read in one place.
namespace ovpn {

struct ManagementLine
{
    enum class Kind {
        Info,           // ">INFO:" the greeting
        Hold,           // ">HOLD:" the daemon waits to be released
        State,          // ">STATE:" with at least a time and a state name
        Password,       // ">PASSWORD:" a credential request or a verification failure
        ByteCount,      // ">BYTECOUNT:" with exactly the two totals
        Log,            // ">LOG:", or a line of the replayed log history
        LogHistoryEnd,  // "END" of the replayed log history
        Fatal,          // ">FATAL:"
        InfoMessage,    // ">INFOMSG:"
        Success,        // "SUCCESS:" reply to a command
        Error,          // "ERROR:" reply to a command
        Other,          // anything else, and notifications without the fields they need
    };

    enum class PasswordRequest {
        VerificationFailed,  // the 'Auth' credentials were refused
        Auth,                // the 'Auth' user name and password are asked for
        HttpProxy,           // the proxy's user name and password are asked for
        OtherSecret,         // something else is asked for (a key passphrase, a token PIN)
        Unknown,             // a password line of none of these forms
    };

    // The line as it came, its kind and the text after the first colon (for a log
    // history line, the whole line).
    QString line;
    Kind kind = Kind::Other;
    QString payload;

    // State: <time>,<name>,<reason>,<local address>,<remote address>,<remote port>,...
    QString stateName;
    QString reason;
    QString localAddress;
    QString remoteAddress;
    QString remotePort;

    // Password
    PasswordRequest passwordRequest = PasswordRequest::Unknown;
    QString failureReason;  // the text in [' '] after a verification failure

    // ByteCount: cumulative link bytes; text that is no number reads as 0
    qint64 bytesIn = 0;
    qint64 bytesOut = 0;

    // Log: <time>,<flags>,<text>; flags F (fatal), N (non-fatal error), W, I, D
    QString logFlags;
    QString logText;
    bool logError = false;     // flag F or N, or text that begins with "ERROR:"
    QString tunnelOpened;      // the device of "TUN/TAP device <name> opened"
    bool tunnelClosed = false; // "Closing TUN/TAP interface"

    // Success
    bool logReplayStarts = false;    // "log on all" was accepted: the history follows
    bool credentialEntered = false;  // a user name or password was taken

    // While the log history is replayed (after "log on all"), lines without '>' are its
    // records and "END" closes it.
    static ManagementLine parse(const QString &line, bool inLogHistory);
};

} // namespace ovpn
