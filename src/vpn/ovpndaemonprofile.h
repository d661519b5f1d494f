#pragma once

#include <string>
#include <vector>

#include "vpn/ovpntypes.h"

// The profile as the openvpn daemon gets it: a merged profile with everything
// removed that would let it run a program or touch a file of its own choosing, and
// rewritten where the client configuration asks for it.
namespace ovpn {

class DaemonProfile
{
public:
    // Evaluates config.content. On success text() is the daemon's profile; on
    // failure eval.error is set with a message a person can read.
    explicit DaemonProfile(const Config &config);

    const EvalConfig &eval() const;
    const std::string &text() const;
    // Directives left out, one entry per line, for the log.
    const std::vector<std::string> &removed() const;
    // Credentials written inline in the profile; kept in memory, never in text().
    const std::string &inlineUsername() const;
    const std::string &inlinePassword() const;

private:
    void prepare(const Config &config);
    void fail(const std::string &message);

    EvalConfig m_eval;
    std::string m_text;
    std::vector<std::string> m_removed;
    std::string m_inlineUsername;
    std::string m_inlinePassword;
};

} // namespace ovpn
