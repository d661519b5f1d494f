#include "vpn/ovpndaemonprofile.h"

#include <set>
#include <sstream>

#include "vpn/ovpnlexer.h"

namespace ovpn {

namespace {

// Directives that run programs, load code, or read or write files named by the
// profile. A profile comes from the network and the daemon runs as root, so none of
// them reaches it; script-security in particular is never raised.
const std::set<std::string> &refusedDirectives()
{
    static const std::set<std::string> names = {
        "config", "askpass", "up", "down", "down-pre", "route-up", "route-pre-down", "ipchange",
        "client-connect", "client-disconnect", "learn-address", "auth-user-pass-verify",
        "tls-verify", "tls-export-cert", "tls-crypt-v2-verify", "plugin", "script-security",
        "status", "log", "log-append", "syslog", "writepid", "daemon", "cd", "chroot", "user",
        "group", "tmp-dir", "iproute", "capath", "dev-node", "engine", "providers",
        "pkcs11-providers", "pkcs11-id-management", "replay-persist", "ifconfig-pool-persist",
        "client-config-dir", "genkey", "mktun", "rmtun", "test-crypto", "auth-gen-token-secret",
        "dns-updown", "route-nopull-script",
        // tunPersist is false: a tunnel that outlives its connection is not wanted.
        "persist-tun",
        // The daemon always asks for credentials over the management socket.
        "auth-user-pass-optional",
        // The channel our layer owns.
        "management", "management-client", "management-hold", "management-query-passwords",
        "management-query-proxy", "management-query-remote", "management-forget-disconnect",
        "management-signal", "management-up-down", "management-client-auth",
        "management-client-user", "management-client-group", "management-log-cache",
        "management-external-key", "management-external-cert",
    };
    return names;
}

bool refused(const std::string &name)
{
    return refusedDirectives().count(name) != 0;
}

std::string ipv4Proto(const std::string &proto)
{
    if (proto.compare(0, 3, "udp") == 0)
        return "udp4";
    if (proto.compare(0, 3, "tcp") == 0)
        return proto.find("server") != std::string::npos ? proto : "tcp4-client";
    return proto;
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
}

void DaemonProfile::prepare(const Config &config)
{
    if (config.content.find_first_not_of(" \t\r\n") == std::string::npos) {
        fail("profile is empty");
        return;
    }

    const bool forceIpv4 = config.protoVersionOverride == 4;
    bool needsCredentials = false;
    bool hasRemote = false;
    bool hasClientCert = false;
    std::string openTag;
    std::string skippedTag;
    std::string text;
    std::vector<std::string> credentialLines;

    std::istringstream stream(config.content);
    std::string line;
    while (std::getline(stream, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        bool closing = false;
        const std::string tag = inlineTag(line, &closing);

        if (!skippedTag.empty()) {
            if (closing && tag == skippedTag)
                skippedTag.clear();
            else
                credentialLines.push_back(line);
            continue;
        }
        if (!openTag.empty()) {
            if (closing && tag == openTag)
                openTag.clear();
            text += line + '\n';
            continue;
        }
        if (!tag.empty() && !closing && tag != "connection") {
            if (tag == "auth-user-pass") {
                // Inline credentials stay in memory and go over the socket like any others.
                skippedTag = tag;
                needsCredentials = true;
                continue;
            }
            if (tag == "cert" || tag == "pkcs12")
                hasClientCert = true;
            if (refused(tag)) {
                m_removed.push_back('<' + tag + '>');
                skippedTag = tag;
                continue;
            }
            openTag = tag;
            text += line + '\n';
            continue;
        }

        std::vector<std::string> words = splitLine(line);
        if (words.empty() || !tag.empty()) {
            text += line + '\n';
            continue;
        }
        const std::string &name = words[0];
        if (refused(name) || (name == "crl-verify" && words.size() >= 3 && words[2] == "dir")) {
            m_removed.push_back(line);
            continue;
        }
        if (config.ipv6 == "no" && (name == "ifconfig-ipv6" || name == "route-ipv6")) {
            m_removed.push_back(line);
            continue;
        }
        if (name == "auth-user-pass") {
            // The credentials file was inlined by the merger or is not ours to read.
            needsCredentials = true;
            if (words.size() > 1 && words[1] != "[inline]")
                m_removed.push_back(line);
            text += "auth-user-pass\n";
            continue;
        }
        if (name == "cert" || name == "pkcs12")
            hasClientCert = true;
        if (name == "remote") {
            if (!hasRemote && words.size() >= 2) {
                m_eval.remoteHost = words[1];
                m_eval.remotePort = words.size() >= 3 ? words[2] : "1194";
                m_eval.remoteProto = words.size() >= 4 ? words[3] : "udp";
            }
            hasRemote = true;
            if (forceIpv4 && words.size() >= 4) {
                words[3] = ipv4Proto(words[3]);
                text += joinLine(words) + '\n';
                continue;
            }
        }
        if (forceIpv4 && name == "proto" && words.size() >= 2) {
            words[1] = ipv4Proto(words[1]);
            text += joinLine(words) + '\n';
            continue;
        }
        text += line + '\n';
    }
    if (!openTag.empty() || !skippedTag.empty()) {
        fail("inline block <" + (openTag.empty() ? skippedTag : openTag) + "> is not closed");
        return;
    }
    if (!hasRemote) {
        fail("profile names no remote server");
        return;
    }

    if (credentialLines.size() >= 1)
        m_inlineUsername = credentialLines[0];
    if (credentialLines.size() >= 2)
        m_inlinePassword = credentialLines[1];

    // The transport follows the IP version asked for; a profile's own proto line
    // comes later and, rewritten above, wins over this default.
    m_text = (forceIpv4 ? std::string("proto udp4\n") : std::string()) + text;
    m_eval.error = false;
    m_eval.autologin = !needsCredentials;
    m_eval.externalPki = !hasClientCert && !config.disableClientCert;
    m_eval.remoteProto = forceIpv4 ? ipv4Proto(m_eval.remoteProto) : m_eval.remoteProto;
}

} // namespace ovpn
