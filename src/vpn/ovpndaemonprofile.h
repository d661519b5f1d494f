#pragma once

#include <string>
#include <vector>

#include "vpn/ovpntypes.h"

// The profile as the openvpn daemon gets it. The merged profile is read as the daemon
// reads it, and each directive gets one of three verdicts: kept (perhaps rewritten to a
// safe equivalent), dropped with a notice, or refused, which refuses the whole profile
// with the line and the reason. A client can do without what is dropped: the fixed
// client configuration or the application owns that job, or the option only matters on
// the machine the profile was written for. What cannot be honoured safely (running a
// program, loading code, naming a file, listening or serving) is refused. What passes
// is written out again in a plain form. docs/profiles.md has the whole table.
namespace ovpn {

struct Directive;

// A line of the profile that reaches the daemon other than as written.
struct ProfileNotice
{
    int line = 0;              // where it stands in the merged profile, from 1
    std::string original;      // the directive as read, in plain form
    std::string replacement;   // what the daemon gets instead; empty when dropped
    std::string reason;

    bool dropped() const { return replacement.empty(); }
    // "line 7: dropped "user nobody": the application chooses the daemon's user"
    std::string describe() const;
};

class DaemonProfile
{
public:
    // Evaluates config.content. On success text() is the daemon's profile; on
    // failure eval.error is set with a message a person can read.
    explicit DaemonProfile(const Config &config);

    const EvalConfig &eval() const;
    // With eval().error: the text holds no profile at all (nothing but blanks and
    // comments, or no server to connect to), rather than one that was refused.
    bool isNoProfile() const;
    const std::string &text() const;
    // Every line dropped or rewritten, in profile order, also when the profile was
    // refused further down.
    const std::vector<ProfileNotice> &notices() const;
    // Credentials written inline in the profile; kept in memory, never in text().
    const std::string &inlineUsername() const;
    const std::string &inlinePassword() const;

private:
    void prepare(const Config &config);
    bool emitDirective(const Config &config, std::vector<std::string> words, int line, bool inConnection,
                       std::string *text, std::string *error);
    bool emitBlock(const Config &config, const Directive &block, std::string *text, std::string *error);
    void notice(int line, const std::vector<std::string> &original, const std::vector<std::string> &replacement,
                const std::string &reason);
    void fail(const std::string &message, bool noProfile = false);
    static int sourceLine(const Config &config, int line);

    EvalConfig m_eval;
    std::string m_text;
    std::vector<ProfileNotice> m_notices;
    std::string m_inlineUsername;
    std::string m_inlinePassword;
    bool m_needsCredentials = false;
    bool m_hasRemote = false;
    bool m_hasClientCert = false;
    bool m_noProfile = false;
};

} // namespace ovpn
