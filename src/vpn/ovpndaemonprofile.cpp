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
    SetEnv,        // variables the daemon only passes on; "setenv opt" would hide a directive
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
        {"allow-compression", {Scope::Profile, 1, 1, Check::None}},
        // Asked for over the management socket; with a file name it would read the file.
        {"auth-user-pass", {Scope::Profile, 0, 0, Check::None}},
        {"auth-nocache", {Scope::Profile, 0, 0, Check::None}},
        {"auth-retry", {Scope::Profile, 1, 1, Check::AuthRetry}},
        {"push-peer-info", {Scope::Profile, 0, 0, Check::None}},
        {"setenv", {Scope::Profile, 1, 2, Check::SetEnv}},
        {"setenv-safe", {Scope::Profile, 1, 2, Check::SetEnv}},
        {"ignore-unknown-option", {Scope::Profile, 1, Any, Check::None}},
        {"verb", {Scope::Profile, 1, 1, Check::None}},
        {"mute", {Scope::Profile, 1, 1, Check::None}},
        // A tunnel that outlives its connection is not wanted. The line is dropped (and
        // logged), not refused.
        {"persist-tun", {Scope::Profile, 0, 0, Check::None}},
    };
    return rules;
}

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

// Why the arguments of a listed directive are refused, or "" when they are fine.
std::string checkArguments(const std::vector<std::string> &words, Check check)
{
    switch (check) {
    case Check::None:
        return std::string();
    case Check::Proto:
        return isClientTransport(words[1]) ? std::string() : "\"" + words[1] + "\" is no client transport";
    case Check::Remote:
        return words.size() < 4 || isClientTransport(words[3]) ? std::string()
                                                                : "\"" + words[3] + "\" is no client transport";
    case Check::Dev:
        return isDeviceName(words[1]) ? std::string() : "\"" + words[1] + "\" is no network interface name";
    case Check::DevType:
        return words[1] == "tun" || words[1] == "tap" ? std::string() : "\"" + words[1] + "\" is no device type";
    case Check::HttpProxy:
        return words.size() < 4 || words[3] == "auto" || words[3] == "auto-nct"
            ? std::string()
            : "it names a credentials file; proxy credentials go in an inline <http-proxy-user-pass> block";
    case Check::AuthRetry:
        return words[1] == "none" || words[1] == "nointeract" || words[1] == "interact"
            ? std::string()
            : "\"" + words[1] + "\" is no retry mode";
    case Check::SetEnv:
        return isPassedOnVariable(words[1]) ? std::string() : "the variable \"" + words[1] + "\" is not allowed";
    }
    return std::string();
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

const std::vector<std::string> &DaemonProfile::removed() const
{
    return m_removed;
}

const std::string &DaemonProfile::inlineUsername() const
{
    return m_inlineUsername;
}

const std::string &DaemonProfile::inlinePassword() const
{
    return m_inlinePassword;
}

void DaemonProfile::fail(const std::string &message)
{
    m_eval = EvalConfig();
    m_eval.error = true;
    m_eval.message = message;
    m_text.clear();
    m_inlineUsername.clear();
    m_inlinePassword.clear();
}

bool DaemonProfile::emitDirective(const Config &config, std::vector<std::string> words, int line,
                                  bool inConnection, std::string *text, std::string *error)
{
    const std::string &name = words[0];
    const auto rule = directiveRules().find(name);
    if (rule == directiveRules().end()) {
        *error = where(line) + "the directive \"" + name + "\" is not allowed in a profile";
        return false;
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
    const std::string refusal = checkArguments(words, rule->second.check);
    if (!refusal.empty()) {
        *error = where(line) + "the directive \"" + name + "\" is refused: " + refusal;
        return false;
    }

    if (name == "persist-tun" || (config.ipv6 == "no" && (name == "ifconfig-ipv6" || name == "route-ipv6"))) {
        m_removed.push_back(joinLine(words));
        return true;
    }
    if (name == "auth-user-pass")
        m_needsCredentials = true;
    const bool forceIpv4 = config.protoVersionOverride == 4;
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
        *error = where(block.line) + "the inline block <" + tag + "> is not allowed in a profile";
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
        *error = where(block.line) + "in the <connection> block: " + innerError;
        return false;
    }
    std::string connection;
    for (const Directive &directive : inner) {
        const int line = block.line + directive.line;
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

void DaemonProfile::prepare(const Config &config)
{
    if (config.content.find_first_not_of(" \t\r\n") == std::string::npos) {
        fail("profile is empty");
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
                                                : emitDirective(config, directive.words, directive.line, false,
                                                                &text, &error);
        if (!emitted) {
            fail("profile refused: " + error);
            return;
        }
    }
    if (!m_hasRemote) {
        fail("profile names no remote server");
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
