#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Value types of our OpenVPN client layer (see ovpnclient.h). Field names follow the
// client API the VPN controller was designed against, so the controller reads the same
// whichever engine sits below it.
namespace ovpn {

// What the application asks of a connection; ovpndaemonoptions.cpp and
// ovpndaemonprofile.cpp map it onto the daemon's options and profile.
struct Config
{
    std::string content;           // the merged profile text
    std::string guiVersion;        // sent to the server as peer info IV_GUI_VER
    int connTimeout = 0;           // seconds; 0 retries for ever
    bool disableClientCert = false;
    bool dco = true;
    bool info = false;             // report server INFO messages as events
    int protoVersionOverride = 0;  // 4 or 6 forces the transport's IP version
    std::string ipv6;              // "no" keeps IPv6 out of the tunnel
    std::string compressionMode;   // "yes", "asym" or "no"
    // The line of the profile file each line of content comes from, where merging
    // inlined files; empty when content is numbered as it stands. Messages name these.
    std::vector<int> contentLines;
};

// The outcome of evaluating a profile.
struct EvalConfig
{
    bool error = false;
    std::string message;
    bool autologin = false;  // false when the profile needs a user name and password
    bool externalPki = false;
    std::string userlockedUsername;
    std::string profileName;
    std::string remoteHost;
    std::string remotePort;
    std::string remoteProto;
};

struct ProvideCreds
{
    std::string username;
    std::string password;
    std::string http_proxy_user;
    std::string http_proxy_pass;
    std::string response;
    std::string dynamicChallengeCookie;
    bool replacePasswordWithResponse = false;
    bool cachePassword = false;
};

struct Status
{
    bool error = false;
    std::string status;   // a short upper-case name such as "AUTH_FAILED"
    std::string message;
};

struct Event
{
    bool error = false;
    bool fatal = false;
    std::string name;
    std::string info;
};

struct LogInfo
{
    std::string text;
};

struct TransportStats
{
    std::int64_t bytesIn = 0;
    std::int64_t bytesOut = 0;
    std::int64_t packetsIn = 0;
    std::int64_t packetsOut = 0;
    int lastPacketReceived = -1;  // 1/1024 s since data last arrived, -1 before the tunnel
};

} // namespace ovpn
