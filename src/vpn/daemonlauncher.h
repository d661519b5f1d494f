#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>
#include <string>

namespace ovpn {

// What a daemon start needs: the daemon's profile, the private directory of the
// session (owned by us, mode 0700) and the management socket the session listens on
// in it. The daemon connects its management channel to that socket, whoever starts it.
struct DaemonLaunch
{
    std::string profile;       // the daemon's profile text
    QString directory;         // the session's private directory
    QString profilePath;       // where a launcher that needs a file puts the profile
    QString managementSocket;  // the session's listening socket
    QStringList options;       // the client configuration's options, after the profile
};

// Starts the openvpn daemon of one session and reports on it. The daemon needs
// CAP_NET_ADMIN: a root process starts it itself, any other asks the root helper
// corrivo2-helper to. Either way the management conversation stays with the session,
// over its own socket; a launcher only starts, ends and watches the process.
//
// Signals: output() for each line the daemon prints, started() once it runs,
// finished() when it has ended, dnsReported() when the root helper has applied the
// tunnel's DNS settings to its link or says why it did not (a launcher that leaves the
// network to others never sends it). failed() says why the launcher could not do its part;
// before started() it means that nothing ran and nothing else follows, after it that
// finished() follows.
class DaemonLauncher : public QObject
{
    Q_OBJECT

public:
    enum class Mode {
        Direct,  // this process starts the daemon (it is root)
        Helper,  // corrivo2-helper starts it for us
    };

    // Direct for root, through the helper otherwise; CORRIVO_VPN_LAUNCH=direct|helper
    // chooses one regardless (tests run as root and still exercise the helper).
    static Mode mode();
    static std::unique_ptr<DaemonLauncher> create(Mode mode);

    using QObject::QObject;

    virtual void start(const DaemonLaunch &launch) = 0;
    // Asks the daemon to end; used when the management channel cannot ask it.
    virtual void terminate() = 0;
    // Ends the daemon now.
    virtual void kill() = 0;

signals:
    void output(const QString &line);
    void started();
    void finished(int exitCode, bool crashed);
    void dnsReported(bool applied, const QString &reason);
    void failed(const QString &status, const QString &message);
};

} // namespace ovpn
