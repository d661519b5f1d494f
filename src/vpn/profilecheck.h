#pragma once

#include <QString>

#include <string>
#include <vector>

#include "vpn/ovpndaemonprofile.h"

// What a start makes of a profile file, for a person to read: the file is merged with
// its companion files from its own directory, as a start merges the cloud's files, then
// filtered with the application's client configuration. `corrivo2 --check-profile`
// prints it; nothing here needs a display, root, the cloud or the network.
class ProfileCheck
{
public:
    // The process's exit code for each.
    enum Verdict {
        Accepted = 0,
        Refused = 1,
        Unreadable = 2,  // the file cannot be read, or holds no profile
    };

    explicit ProfileCheck(const QString &path);

    Verdict verdict() const;
    // "profile accepted", or the reason it is not, naming the line.
    QString summary() const;
    // Every line dropped or rewritten, one sentence each, in profile order.
    QStringList notices() const;
    // What the daemon would get, as one configuration file openvpn reads (the profile
    // and the fixed options, all but the management channel); empty unless accepted.
    std::string daemonConfig() const;

private:
    Verdict m_verdict = Unreadable;
    QString m_summary;
    std::vector<ovpn::ProfileNotice> m_notices;
    std::string m_daemonConfig;
};
