#include "vpn/ovpndaemonprofile.h"

#include <cstddef>
#include <map>
#include <set>

#include "vpn/ovpnlexer.h"

namespace ovpn {

namespace {

// Where a directive may stand: at the top of the profile, or also inside a
// <connection> block (which the daemon reads with its connection options only).
enum class Scope {
    Profile,
    ProfileAndConnection,
};

// Argument rules beyond the count, for the few directives whose arguments could name
// a file, a program or a server role.
enum class Check {
    None,
    Proto,         // a client transport
    Remote,        // host [port [client transport]]
    Dev,           // a network interface name
    DevType,
    HttpProxy,     // host port [auto | auto-nct]: a third word is otherwise a credentials file
    AuthRetry,
    SetEnv,        // variables the daemon passes on to the server; others only reach scripts
    Script,        // a program to run: only the distributions' DNS scripts are dropped
    AuthUserPass,  // a file argument gives way to the credentials of the cloud's reply
    Verb,          // levels above the normal range log packets and key material
    Compression,   // allow-compression belongs to the client configuration
};

struct Rule
{
    Scope scope;
    std::size_t minArgs;
    std::size_t maxArgs;
    Check check;
};

constexpr std::size_t Any = MaxDirectiveWords;

// Every directive a remote-access client profile may carry. Nothing here names a file,
// runs a program, loads code, listens for connections or writes anything: key
// material comes only as inline blocks (below), credentials only over the
// management socket. Anything not listed refuses the whole profile.
const std::map<std::string, Rule> &directiveRules()
{
    static const std::map<std::string, Rule> rules = {
        {"client", {Scope::Profile, 0, 0, Check::None}},
        {"pull", {Scope::Profile, 0, 0, Check::None}},
        {"tls-client", {Scope::Profile, 0, 0, Check::None}},
        {"dev", {Scope::Profile, 1, 1, Check::Dev}},
        {"dev-type", {Scope::Profile, 1, 1, Check::DevType}},
        {"proto", {Scope::ProfileAndConnection, 1, 1, Check::Proto}},
        {"remote", {Scope::ProfileAndConnection, 1, 3, Check::Remote}},
        {"port", {Scope::ProfileAndConnection, 1, 1, Check::None}},
        {"rport", {Scope::ProfileAndConnection, 1, 1, Check::None}},
        {"nobind", {Scope::ProfileAndConnection, 0, 0, Check::None}},
        {"float", {Scope::ProfileAndConnection, 0, 0, Check::None}},
        {"remote-random", {Scope::Profile, 0, 0, Check::None}},
        {"remote-random-hostname", {Scope::Profile, 0, 0, Check::None}},
        {"resolv-retry", {Scope::Profile, 1, 1, Check::None}},
        {"connect-retry", {Scope::ProfileAndConnection, 1, 2, Check::None}},
        {"connect-retry-max", {Scope::ProfileAndConnection, 1, 1, Check::None}},
        {"connect-timeout", {Scope::ProfileAndConnection, 1, 1, Check::None}},
        {"server-poll-timeout", {Scope::ProfileAndConnection, 1, 1, Check::None}},
        {"explicit-exit-notify", {Scope::ProfileAndConnection, 0, 1, Check::None}},
        {"http-proxy", {Scope::ProfileAndConnection, 2, 3, Check::HttpProxy}},
        {"http-proxy-option", {Scope::ProfileAndConnection, 1, 3, Check::None}},
        // The third word of socks-proxy is a credentials file: at most two.
        {"socks-proxy", {Scope::ProfileAndConnection, 1, 2, Check::None}},
        {"tun-mtu", {Scope::ProfileAndConnection, 1, 2, Check::None}},
        {"tun-mtu-extra", {Scope::ProfileAndConnection, 1, 1, Check::None}},
        {"link-mtu", {Scope::ProfileAndConnection, 1, 1, Check::None}},
        {"mssfix", {Scope::ProfileAndConnection, 0, 2, Check::None}},
        {"fragment", {Scope::ProfileAndConnection, 1, 2, Check::None}},
        {"mtu-disc", {Scope::ProfileAndConnection, 1, 1, Check::None}},
        {"sndbuf", {Scope::Profile, 1, 1, Check::None}},
        {"rcvbuf", {Scope::Profile, 1, 1, Check::None}},
        {"txqueuelen", {Scope::Profile, 1, 1, Check::None}},
        {"fast-io", {Scope::Profile, 0, 0, Check::None}},
        {"persist-key", {Scope::Profile, 0, 0, Check::None}},
        {"persist-local-ip", {Scope::Profile, 0, 0, Check::None}},
        {"persist-remote-ip", {Scope::Profile, 0, 0, Check::None}},
        {"keepalive", {Scope::Profile, 2, 2, Check::None}},
        {"ping", {Scope::Profile, 1, 1, Check::None}},
        {"ping-restart", {Scope::Profile, 1, 1, Check::None}},
        {"ping-exit", {Scope::Profile, 1, 1, Check::None}},
        {"ping-timer-rem", {Scope::Profile, 0, 0, Check::None}},
        {"inactive", {Scope::Profile, 1, 2, Check::None}},
        {"topology", {Scope::Profile, 1, 1, Check::None}},
        {"ifconfig", {Scope::Profile, 2, 2, Check::None}},
        {"ifconfig-ipv6", {Scope::Profile, 2, 2, Check::None}},
        {"tun-ipv6", {Scope::Profile, 0, 0, Check::None}},
        {"route", {Scope::Profile, 1, 4, Check::None}},
        {"route-ipv6", {Scope::Profile, 1, 3, Check::None}},
        {"route-gateway", {Scope::Profile, 1, 1, Check::None}},
        {"route-metric", {Scope::Profile, 1, 1, Check::None}},
        {"route-delay", {Scope::Profile, 0, 2, Check::None}},
        {"route-nopull", {Scope::Profile, 0, 0, Check::None}},
        {"allow-recursive-routing", {Scope::Profile, 0, 0, Check::None}},
        {"redirect-gateway", {Scope::Profile, 0, Any, Check::None}},
        {"redirect-private", {Scope::Profile, 0, Any, Check::None}},
        {"block-ipv6", {Scope::Profile, 0, 0, Check::None}},
        {"dhcp-option", {Scope::Profile, 1, 2, Check::None}},
        {"dns", {Scope::Profile, 1, Any, Check::None}},
        {"pull-filter", {Scope::Profile, 2, 2, Check::None}},
        {"cipher", {Scope::Profile, 1, 1, Check::None}},
        {"data-ciphers", {Scope::Profile, 1, 1, Check::None}},
        {"data-ciphers-fallback", {Scope::Profile, 1, 1, Check::None}},
        {"ncp-ciphers", {Scope::Profile, 1, 1, Check::None}},
        {"auth", {Scope::Profile, 1, 1, Check::None}},
        {"tls-cipher", {Scope::Profile, 1, 1, Check::None}},
        {"tls-ciphersuites", {Scope::Profile, 1, 1, Check::None}},
        {"tls-groups", {Scope::Profile, 1, 1, Check::None}},
        {"ecdh-curve", {Scope::Profile, 1, 1, Check::None}},
        {"tls-version-min", {Scope::Profile, 1, 2, Check::None}},
        {"tls-version-max", {Scope::Profile, 1, 1, Check::None}},
        {"tls-cert-profile", {Scope::Profile, 1, 1, Check::None}},
        {"tls-timeout", {Scope::Profile, 1, 1, Check::None}},
        {"tls-exit", {Scope::Profile, 0, 0, Check::None}},
        {"hand-window", {Scope::Profile, 1, 1, Check::None}},
        {"tran-window", {Scope::Profile, 1, 1, Check::None}},
        {"reneg-sec", {Scope::Profile, 1, 2, Check::None}},
        {"reneg-bytes", {Scope::Profile, 1, 1, Check::None}},
        {"reneg-pkts", {Scope::Profile, 1, 1, Check::None}},
        {"replay-window", {Scope::Profile, 1, 2, Check::None}},
        {"mute-replay-warnings", {Scope::Profile, 0, 0, Check::None}},
        {"key-direction", {Scope::Profile, 1, 1, Check::None}},
        {"remote-cert-tls", {Scope::Profile, 1, 1, Check::None}},
        {"remote-cert-ku", {Scope::Profile, 0, Any, Check::None}},
        {"remote-cert-eku", {Scope::Profile, 1, 1, Check::None}},
        {"verify-x509-name", {Scope::Profile, 1, 2, Check::None}},
        {"peer-fingerprint", {Scope::Profile, 1, 1, Check::None}},
        {"comp-lzo", {Scope::Profile, 0, 1, Check::None}},
        {"compress", {Scope::Profile, 0, 1, Check::None}},
        {"allow-compression", {Scope::Profile, 1, 1, Check::Compression}},
        // Asked for over the management socket; a file name is dropped.
        {"auth-user-pass", {Scope::Profile, 0, 1, Check::AuthUserPass}},
        {"auth-nocache", {Scope::Profile, 0, 0, Check::None}},
        {"auth-retry", {Scope::Profile, 1, 1, Check::AuthRetry}},
        {"push-peer-info", {Scope::Profile, 0, 0, Check::None}},
        {"setenv", {Scope::Profile, 1, 2, Check::SetEnv}},
        {"setenv-safe", {Scope::Profile, 1, 2, Check::SetEnv}},
        {"ignore-unknown-option", {Scope::Profile, 1, Any, Check::None}},
        {"verb", {Scope::Profile, 1, 1, Check::Verb}},
        {"mute", {Scope::Profile, 1, 1, Check::None}},
        // The only check of the server's certificate in some profiles; openvpn 2.6 still
        // performs it, so it stays as written.
        {"ns-cert-type", {Scope::Profile, 1, 1, Check::None}},
        {"passtos", {Scope::Profile, 0, 0, Check::None}},
        {"allow-pull-fqdn", {Scope::Profile, 0, 0, Check::None}},
        {"ifconfig-nowarn", {Scope::Profile, 0, 0, Check::None}},
        // Judged by their arguments (below): kept, rewritten or dropped, never passed on
        // with a file or program.
        {"up", {Scope::Profile, 1, 1, Check::Script}},
        {"down", {Scope::Profile, 1, 1, Check::Script}},
        {"route-up", {Scope::Profile, 1, 1, Check::Script}},
        {"route-pre-down", {Scope::Profile, 1, 1, Check::Script}},
    };
    return rules;
}

// Directives a client does without, dropped with a notice whatever their arguments: the
// client configuration or the application owns the job, the option only matters on the
// machine the profile was written for, or openvpn no longer has it.
const std::map<std::string, std::string> &droppedDirectives()
{
    static const std::string noScripts = "the client runs no scripts";
    static const std::string logging = "the application keeps the daemon's output itself";
    static const std::string windows = "an option for Windows only";
    static const std::string removed = "openvpn 2.6 no longer has this option";
    static const std::map<std::string, std::string> dropped = {
        {"persist-tun", "the client configuration closes the tunnel with its connection"},
        {"script-security", noScripts},
        {"down-pre", noScripts},
        {"up-delay", noScripts},
        {"up-restart", noScripts},
        {"user", "the application chooses the user the daemon runs as"},
        {"group", "the application chooses the group the daemon runs as"},
        {"log", logging},
        {"log-append", logging},
        {"status", logging},
        {"status-version", logging},
        {"syslog", logging},
        {"lport", "a client needs no fixed local port"},
        {"http-proxy-retry", "openvpn retries a proxy like any connection since 2.4"},
        {"socks-proxy-retry", "openvpn retries a proxy like any connection since 2.4"},
        {"push", "an option of the server, which a client does not use"},
        {"route-method", windows},
        {"ip-win32", windows},
        {"tap-sleep", windows},
        {"dhcp-renew", windows},
        {"dhcp-release", windows},
        {"dhcp-pre-release", windows},
        {"register-dns", windows},
        {"block-outside-dns", windows},
        {"win-sys", windows},
        {"show-net-up", windows},
        {"allow-nonadmin", windows},
        {"windows-driver", windows},
        {"ncp-disable", removed},
        {"keysize", removed},
        {"no-iv", removed},
        {"no-replay", removed},
        {"max-routes", removed},
    };
    return dropped;
}

// Why the best known of the refused directives are refused, for the message; every
// other directive outside the two tables is refused as well, without a reason of its own.
std::string refusalReason(const std::string &name)
{
    static const std::map<std::string, std::string> reasons = [] {
        std::map<std::string, std::string> table;
        for (const char *program : {"ipchange", "tls-verify", "auth-user-pass-verify", "learn-address", "iproute",
                                    "client-connect", "client-disconnect", "tls-crypt-v2-verify", "dns-updown"})
            table[program] = "it would run a program";
        for (const char *code : {"plugin", "engine", "providers", "pkcs11-providers", "show-pkcs11-ids"})
            table[code] = "it would load code";
        for (const char *file : {"config", "secret", "dh", "askpass", "http-proxy-user-pass", "dev-node", "capath",
                                 "tmp-dir", "cd", "chroot", "writepid", "memstats", "replay-persist", "ca", "cert",
                                 "key", "tls-auth", "tls-crypt", "tls-crypt-v2", "extra-certs", "pkcs12",
                                 "crl-verify"})
            table[file] = "it names a file outside the profile (key material goes in inline blocks)";
        for (const char *server : {"management", "management-client", "port-share", "server", "server-bridge",
                                   "mode", "tls-server", "client-config-dir"})
            table[server] = "it would listen or serve";
        table["daemon"] = "the application runs the daemon itself";
        return table;
    }();
    const auto reason = reasons.find(name);
    if (reason != reasons.end())
        return ": " + reason->second;
    return name.compare(0, 11, "management-") == 0 ? ": the application owns the management channel" : std::string();
}

// The DNS update scripts the distributions ship for openvpn, which client profiles name
// as up and down scripts.
bool isResolverScript(const std::string &path)
{
    static const std::set<std::string> scripts = {
        "/etc/openvpn/update-resolv-conf",
        "/etc/openvpn/update-resolv-conf.sh",
        "/etc/openvpn/update-systemd-resolved",
        "/etc/openvpn/scripts/update-systemd-resolved",
        "/usr/share/openvpn/contrib/pull-resolv-conf/client.up",
        "/usr/share/openvpn/contrib/pull-resolv-conf/client.down",
        "/usr/share/doc/openvpn/contrib/pull-resolv-conf/client.up",
        "/usr/share/doc/openvpn/contrib/pull-resolv-conf/client.down",
    };
    return scripts.count(path) != 0;
}

// The highest level of openvpn's normal range; above it the log shows packets and, from
// 7 on, key material.
constexpr int MaxVerbosity = 4;

// Key material and credentials, only ever inline. <auth-user-pass> and <connection>
// are taken apart below.
const std::set<std::string> &inlineTags()
{
    static const std::set<std::string> tags = {
        "ca", "cert", "key", "tls-auth", "tls-crypt", "tls-crypt-v2", "extra-certs", "pkcs12",
        "crl-verify", "http-proxy-user-pass", "peer-fingerprint", "auth-user-pass", "connection",
    };
    return tags;
}

bool isClientTransport(const std::string &proto)
{
    static const std::set<std::string> names = {
        "udp", "udp4", "udp6", "tcp", "tcp4", "tcp6", "tcp-client", "tcp4-client", "tcp6-client",
    };
    return names.count(proto) != 0;
}

// A network interface name as the kernel takes it; never a path (that is dev-node).
bool isDeviceName(const std::string &name)
{
    if (name.empty() || name.size() > 15 || name == "." || name == ".." || name.front() == '-')
        return false;
    for (char c : name) {
        const bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-'
            || c == '_' || c == '.';
        if (!allowed)
            return false;
    }
    return true;
}

bool isPassedOnVariable(const std::string &name)
{
    static const std::set<std::string> names = {
        "CLIENT_CERT", "FRIENDLY_NAME", "PUSH_PEER_INFO", "SERVER_POLL_TIMEOUT", "ALLOW_PASSWORD_SAVE",
    };
    return names.count(name) != 0 || name.compare(0, 3, "UV_") == 0 || name.compare(0, 3, "IV_") == 0;
}

// What becomes of a listed directive, by its arguments.
struct Judgement
{
    enum Kind {
        Keep,
        Rewrite,  // to `words`
        Drop,
        Refuse,
    };
    Kind kind = Keep;
    std::vector<std::string> words;
    std::string reason;
};

Judgement refuse(const std::string &reason)
{
    return {Judgement::Refuse, {}, reason};
}

Judgement judge(const Config &config, const std::vector<std::string> &words, Check check)
{
    switch (check) {
    case Check::None:
        return {};
    case Check::Proto:
        return isClientTransport(words[1]) ? Judgement() : refuse("\"" + words[1] + "\" is no client transport");
    case Check::Remote:
        return words.size() < 4 || isClientTransport(words[3]) ? Judgement()
                                                                : refuse("\"" + words[3] + "\" is no client transport");
    case Check::Dev:
        return isDeviceName(words[1]) ? Judgement() : refuse("\"" + words[1] + "\" is no network interface name");
    case Check::DevType:
        return words[1] == "tun" || words[1] == "tap" ? Judgement() : refuse("\"" + words[1] + "\" is no device type");
    case Check::HttpProxy:
        return words.size() < 4 || words[3] == "auto" || words[3] == "auto-nct"
            ? Judgement()
            : refuse("it names a credentials file; proxy credentials go in an inline <http-proxy-user-pass> block");
    case Check::AuthRetry:
        return words[1] == "none" || words[1] == "nointeract" || words[1] == "interact"
            ? Judgement()
            : refuse("\"" + words[1] + "\" is no retry mode");
    case Check::SetEnv:
        if (isPassedOnVariable(words[1]))
            return {};
        return {Judgement::Drop, {}, "only scripts would see the variable, and the client runs none"};
    case Check::Script:
        if (isResolverScript(words[1]))
            return {Judgement::Drop, {}, "a DNS script of the distribution; the client runs no scripts"};
        return refuse("it would run a program");
    case Check::AuthUserPass:
        if (words.size() == 1)
            return {};
        return {Judgement::Rewrite, {words[0]}, "the credentials come with the domain's configuration, not from a file"};
    case Check::Verb: {
        // The daemon reads the level as atoi() does: leading digits, else 0.
        int level = 0;
        for (std::size_t i = 0; i < words[1].size() && words[1][i] >= '0' && words[1][i] <= '9' && level <= 99; ++i)
            level = level * 10 + (words[1][i] - '0');
        if (level <= MaxVerbosity)
            return {};
        return {Judgement::Rewrite, {words[0], std::to_string(MaxVerbosity)},
                "higher levels log packet contents and key material"};
    }
    case Check::Compression:
        if (config.compressionMode.empty())
            return {};
        return {Judgement::Drop, {}, "the client configuration sets allow-compression " + config.compressionMode};
    }
    return {};
}

std::string ipv4Proto(const std::string &proto)
{
    if (proto.compare(0, 3, "udp") == 0)
        return "udp4";
    if (proto.compare(0, 3, "tcp") == 0)
        return "tcp4-client";
    return proto;
}

std::string where(int line)
{
    return "line " + std::to_string(line) + ": ";
}

} // namespace

std::string ProfileNotice::describe() const
{
    if (dropped())
        return where(line) + "dropped \"" + original + "\": " + reason;
    return where(line) + "rewrote \"" + original + "\" as \"" + replacement + "\": " + reason;
}

DaemonProfile::DaemonProfile(const Config &config)
{
    prepare(config);
}

const EvalConfig &DaemonProfile::eval() const
{
    return m_eval;
}

const std::string &DaemonProfile::text() const
{
    return m_text;
}

const std::vector<ProfileNotice> &DaemonProfile::notices() const
{
    return m_notices;
}

const std::string &DaemonProfile::inlineUsername() const
{
    return m_inlineUsername;
}

const std::string &DaemonProfile::inlinePassword() const
{
    return m_inlinePassword;
}

bool DaemonProfile::isNoProfile() const
{
    return m_noProfile;
}

void DaemonProfile::fail(const std::string &message, bool noProfile)
{
    m_noProfile = noProfile;
    m_eval = EvalConfig();
    m_eval.error = true;
    m_eval.message = message;
    m_text.clear();
    m_inlineUsername.clear();
    m_inlinePassword.clear();
}

void DaemonProfile::notice(int line, const std::vector<std::string> &original,
                           const std::vector<std::string> &replacement, const std::string &reason)
{
    ProfileNotice entry;
    entry.line = line;
    entry.original = joinLine(original);
    entry.replacement = replacement.empty() ? std::string() : joinLine(replacement);
    entry.reason = reason;
    m_notices.push_back(std::move(entry));
}

bool DaemonProfile::emitDirective(const Config &config, std::vector<std::string> words, int line,
                                  bool inConnection, std::string *text, std::string *error)
{
    // "setenv opt X" is X to the daemon, ignored only when the daemon does not know X: it
    // is judged as X and, when kept, written as X.
    if ((words[0] == "setenv" || words[0] == "setenv-safe") && words.size() >= 2 && words[1] == "opt") {
        if (words.size() == 2) {
            *error = where(line) + "\"" + words[0] + " opt\" names no directive";
            return false;
        }
        const std::vector<std::string> inner(words.begin() + 2, words.end());
        const std::size_t before = m_notices.size();
        std::string written;
        if (!emitDirective(config, inner, line, inConnection, &written, error))
            return false;
        if (m_notices.size() == before)
            notice(line, words, inner, "the daemon reads it as the directive itself");
        else
            m_notices[before].original = joinLine(words);
        *text += written;
        return true;
    }

    const std::string name = words[0];
    const auto rule = directiveRules().find(name);
    if (rule == directiveRules().end()) {
        const auto dropped = droppedDirectives().find(name);
        if (dropped == droppedDirectives().end()) {
            *error = where(line) + "the directive \"" + name + "\" is not allowed in a profile" + refusalReason(name);
            return false;
        }
        notice(line, words, {}, dropped->second);
        return true;
    }
    if (inConnection && rule->second.scope != Scope::ProfileAndConnection) {
        *error = where(line) + "the directive \"" + name + "\" is not allowed in a <connection> block";
        return false;
    }
    const std::size_t args = words.size() - 1;
    if (args < rule->second.minArgs || args > rule->second.maxArgs) {
        *error = where(line) + "the directive \"" + name + "\" takes " + std::to_string(rule->second.minArgs)
            + (rule->second.maxArgs == rule->second.minArgs ? std::string()
                                                             : " to " + std::to_string(rule->second.maxArgs))
            + " arguments, not " + std::to_string(args);
        return false;
    }
    const Judgement judgement = judge(config, words, rule->second.check);
    switch (judgement.kind) {
    case Judgement::Keep:
        break;
    case Judgement::Refuse:
        *error = where(line) + "the directive \"" + name + "\" is not allowed in a profile: " + judgement.reason;
        return false;
    case Judgement::Drop:
        notice(line, words, {}, judgement.reason);
        return true;
    case Judgement::Rewrite:
        notice(line, words, judgement.words, judgement.reason);
        words = judgement.words;
        break;
    }

    if (config.ipv6 == "no" && (name == "ifconfig-ipv6" || name == "route-ipv6")) {
        notice(line, words, {}, "the client configuration keeps IPv6 out of the tunnel");
        return true;
    }
    if (name == "auth-user-pass")
        m_needsCredentials = true;
    const bool forceIpv4 = config.protoVersionOverride == 4;
    const std::vector<std::string> read = words;
    if (name == "remote") {
        if (!m_hasRemote) {
            m_eval.remoteHost = words[1];
            m_eval.remotePort = words.size() >= 3 ? words[2] : "1194";
            m_eval.remoteProto = words.size() >= 4 ? words[3] : "udp";
        }
        m_hasRemote = true;
        if (forceIpv4 && words.size() >= 4)
            words[3] = ipv4Proto(words[3]);
    }
    if (forceIpv4 && name == "proto")
        words[1] = ipv4Proto(words[1]);
    if (words != read)
        notice(line, read, words, "the client configuration connects over IPv4");
    // Quoting and the transport rewrite can lengthen a line past what the daemon reads
    // as one line.
    const std::string written = joinLine(words);
    if (written.size() > MaxProfileLineLength) {
        *error = where(line) + "the directive \"" + name + "\" is longer than "
            + std::to_string(MaxProfileLineLength) + " bytes once written out";
        return false;
    }
    *text += written + '\n';
    return true;
}

bool DaemonProfile::emitBlock(const Config &config, const Directive &block, std::string *text, std::string *error)
{
    const std::string &tag = block.words[0];
    const std::string &content = block.words[1];
    if (inlineTags().count(tag) == 0) {
        *error = where(sourceLine(config, block.line)) + "the inline block <" + tag + "> is not allowed in a profile";
        return false;
    }
    if (tag == "auth-user-pass") {
        // Inline credentials stay in memory and go over the socket like any others.
        std::vector<std::string> lines = physicalLines(content);
        for (std::string &line : lines) {
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
        }
        m_inlineUsername = lines.size() >= 1 ? lines[0] : std::string();
        m_inlinePassword = lines.size() >= 2 ? lines[1] : std::string();
        m_needsCredentials = true;
        return true;
    }
    if (tag == "cert" || tag == "pkcs12")
        m_hasClientCert = true;
    if (tag != "connection") {
        // The content ends before the first line that starts with the closing tag, so it
        // reads back as the same block.
        *text += '<' + tag + ">\n" + content + "</" + tag + ">\n";
        return true;
    }

    // The daemon reads a connection block as a profile of its own, limited to the
    // connection options.
    std::vector<Directive> inner;
    std::string innerError;
    if (!readDirectives(content, &inner, &innerError)) {
        *error = where(sourceLine(config, block.line)) + "in the <connection> block: " + innerError;
        return false;
    }
    std::string connection;
    for (const Directive &directive : inner) {
        const int line = sourceLine(config, block.line + directive.line);
        if (directive.isInline) {
            *error = where(line) + "the inline block <" + directive.words[0]
                + "> is not allowed in a <connection> block";
            return false;
        }
        if (!emitDirective(config, directive.words, line, true, &connection, error))
            return false;
    }
    *text += "<connection>\n" + connection + "</connection>\n";
    return true;
}

int DaemonProfile::sourceLine(const Config &config, int line)
{
    if (line >= 1 && std::size_t(line) <= config.contentLines.size())
        return config.contentLines[std::size_t(line - 1)];
    return line;
}

void DaemonProfile::prepare(const Config &config)
{
    if (config.content.find_first_not_of(" \t\r\n") == std::string::npos) {
        fail("profile is empty", true);
        return;
    }

    std::vector<Directive> directives;
    std::string error;
    if (!readDirectives(config.content, &directives, &error)) {
        fail("profile refused: " + error);
        return;
    }

    std::string text;
    for (const Directive &directive : directives) {
        const bool emitted = directive.isInline ? emitBlock(config, directive, &text, &error)
                                                : emitDirective(config, directive.words,
                                                                sourceLine(config, directive.line), false,
                                                                &text, &error);
        if (!emitted) {
            fail("profile refused: " + error);
            return;
        }
    }
    if (!m_hasRemote) {
        fail("profile names no remote server", true);
        return;
    }

    const bool forceIpv4 = config.protoVersionOverride == 4;
    // The transport follows the IP version asked for; a profile's own proto line
    // comes later and, rewritten above, wins over this default.
    m_text = (forceIpv4 ? std::string("proto udp4\n") : std::string()) + text;
    m_eval.error = false;
    m_eval.autologin = !m_needsCredentials;
    m_eval.externalPki = !m_hasClientCert && !config.disableClientCert;
    m_eval.remoteProto = forceIpv4 ? ipv4Proto(m_eval.remoteProto) : m_eval.remoteProto;
}

} // namespace ovpn
