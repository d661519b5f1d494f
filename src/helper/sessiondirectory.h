#pragma once

#include <QString>

#include <string>

// A directory of the helper's own for one run of the daemon, reachable by root only:
// the filtered profile until the daemon has read it, and the socket the daemon's
// management channel connects to. Named after the helper's process id, so that a
// helper started after one that was killed can tell which directories are left over.
// The destructor removes it.
class SessionDirectory
{
public:
    SessionDirectory() = default;
    ~SessionDirectory();

    SessionDirectory(const SessionDirectory &) = delete;
    SessionDirectory &operator=(const SessionDirectory &) = delete;

    // Makes the directory under root and writes the profile into it; false with
    // *error set when that fails.
    bool create(const QString &root, const std::string &profile, QString *error);

    QString path() const;
    QString profilePath() const;
    QString socketPath() const;

    void removeProfile();
    void remove();

    // Removes the directories under root that belonged to helpers that have ended; to be
    // called before this helper makes any.
    static void removeStale(const QString &root);

private:
    QString m_path;
};
