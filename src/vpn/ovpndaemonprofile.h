#pragma once

#include <string>
#include <vector>

#include "vpn/ovpntypes.h"

// The profile as the openvpn daemon gets it. The merged profile is read as the daemon
// reads it and must consist only of allowed client directives and inline key material;
// anything else refuses the whole profile, with the line and the reason. The daemon
// runs as root, so nothing in a profile may name a file, run a program, load code,
// listen or write. What passes is written out again in a plain form, rewritten where
// the client configuration asks for it.
namespace ovpn {

struct Directive;

class DaemonProfile
{
public:
    // Evaluates config.content. On success text() is the daemon's profile; on
    // failure eval.error is set with a message a person can read.
    explicit DaemonProfile(const Config &config);

    const EvalConfig &eval() const;
    const std::string &text() const;
    // Allowed directives left out because the client configuration overrides them
    // (persist-tun, IPv6 settings), one entry per line, for the log.
    const std::vector<std::string> &removed() const;
    // Credentials written inline in the profile; kept in memory, never in text().
    const std::string &inlineUsername() const;
    const std::string &inlinePassword() const;

private:
    void prepare(const Config &config);
    bool emitDirective(const Config &config, std::vector<std::string> words, int line, bool inConnection,
                       std::string *text, std::string *error);
    bool emitBlock(const Config &config, const Directive &block, std::string *text, std::string *error);
    void fail(const std::string &message);

    EvalConfig m_eval;
    std::string m_text;
    std::vector<std::string> m_removed;
    std::string m_inlineUsername;
    std::string m_inlinePassword;
    bool m_needsCredentials = false;
    bool m_hasRemote = false;
    bool m_hasClientCert = false;
};

} // namespace ovpn
