#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QLocalSocket>
#include <QString>

#include "vpn/daemonlauncher.h"

namespace ovpn {

// The daemon started by corrivo2-helper, for a process without root rights. One
// connection to the helper carries the start request (the profile and our management
// socket) and brings back the daemon's output and end. The helper runs the daemon with
// its own fixed options and ends it when this connection closes, so closing it is how
// the daemon is ended when the management channel cannot ask it to.
class HelperDaemonLauncher : public DaemonLauncher
{
    Q_OBJECT

public:
    explicit HelperDaemonLauncher(QObject *parent = nullptr);
    ~HelperDaemonLauncher() override;

    void start(const DaemonLaunch &launch) override;
    void terminate() override;
    void kill() override;

private:
    // The longest reason of a "dns" event passed on (it is shown on the page).
    static constexpr int MaxDnsReason = 300;

    void connected();
    void socketError(QLocalSocket::LocalSocketError error);
    void readEvents();
    void handleEvent(const QJsonObject &event);
    void reportDns(const QJsonObject &event);
    void connectionClosed();
    void fail(const QString &status, const QString &message);
    void end(int exitCode, bool crashed);
    void close();

    QLocalSocket m_socket;
    QString m_path;
    QByteArray m_request;
    bool m_connected = false;
    bool m_started = false;
    bool m_ended = false;
};

} // namespace ovpn
