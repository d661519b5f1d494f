#pragma once

#include <QString>

// Turns the cloud's answer to a VPN configuration request into the files of the
// profile directory and the tunnel's credentials. The answer is checked as
// VpnConfigReply has it; the files before the first fault are written even when a
// later element is refused, so a failed start can leave some of them on disk. The
// credentials stay in memory: only the user name reaches the log.
class ProfileFiles
{
public:
    struct Result
    {
        QString profilePath;  // the written profile, "client.ovpn" in the directory
        QString username;
        QString password;
        // The first fault, in the log's words; empty when the profile and credentials
        // are all there.
        QString error;

        bool ok() const { return error.isEmpty(); }
    };

    // `directory` is made when the first file is due; `logFunction` is the function
    // text of the log lines, those of whoever handles the answer.
    ProfileFiles(QString directory, const char *logFunction);

    Result write(int status, const QString &data) const;

private:
    QString m_directory;
    const char *m_logFunction;
};
