#include "vpn/helperdaemonlauncher.h"

#include "vpn/helperclient.h"

namespace ovpn {

HelperDaemonLauncher::HelperDaemonLauncher(QObject *parent)
    : DaemonLauncher(parent)
{
    connect(&m_socket, &QLocalSocket::connected, this, &HelperDaemonLauncher::connected);
    connect(&m_socket, &QLocalSocket::errorOccurred, this, &HelperDaemonLauncher::socketError);
    connect(&m_socket, &QLocalSocket::readyRead, this, &HelperDaemonLauncher::readEvents);
    connect(&m_socket, &QLocalSocket::disconnected, this, &HelperDaemonLauncher::connectionClosed);
}

HelperDaemonLauncher::~HelperDaemonLauncher()
{
    // The helper ends the daemon when this connection closes.
    close();
    m_request.fill('\0');
}

void HelperDaemonLauncher::start(const DaemonLaunch &launch)
{
    // The helper runs the daemon with its own options: only the profile and the
    // socket to connect the management channel to go over.
    m_path = HelperClient::socketPath();
    m_request = HelperClient::startRequest(launch.profile, launch.managementSocket);
    m_socket.connectToServer(m_path);
}

void HelperDaemonLauncher::connected()
{
    m_connected = true;
    m_socket.write(m_request);
    // The profile may hold key material: not kept here longer than needed.
    m_request.fill('\0');
    m_request.clear();
}

void HelperDaemonLauncher::socketError(QLocalSocket::LocalSocketError error)
{
    // A connection that ends is handled by connectionClosed().
    if (!m_connected)
        fail(QStringLiteral("HELPER_UNAVAILABLE"), HelperClient::unreachable(error, m_socket.errorString(), m_path));
}

void HelperDaemonLauncher::readEvents()
{
    while (!m_ended && m_socket.canReadLine())
        handleEvent(HelperClient::parseEvent(m_socket.readLine()));
}

void HelperDaemonLauncher::handleEvent(const QJsonObject &event)
{
    const QString name = event.value(QLatin1String("event")).toString();
    if (name == QLatin1String("output")) {
        emit output(event.value(QLatin1String("text")).toString());
    } else if (name == QLatin1String("started")) {
        if (!m_started) {
            m_started = true;
            emit started();
        }
    } else if (name == QLatin1String("exited")) {
        end(event.value(QLatin1String("code")).toInt(), event.value(QLatin1String("crashed")).toBool());
    } else if (name == QLatin1String("dns")) {
        reportDns(event);
    } else if (name == QLatin1String("refused")) {
        fail(QStringLiteral("HELPER_REFUSED"), QStringLiteral("corrivo2-helper refused to start openvpn: ")
                                                   + event.value(QLatin1String("reason")).toString());
    }
    // Other events are a newer helper's; this version has no use for them.
}

// {"event":"dns","applied":true} or {"event":"dns","applied":false,"reason":"..."}:
// only while the daemon runs, and only with "applied" a boolean.
void HelperDaemonLauncher::reportDns(const QJsonObject &event)
{
    const QJsonValue applied = event.value(QLatin1String("applied"));
    if (!m_started || !applied.isBool())
        return;
    if (applied.toBool()) {
        emit dnsReported(true, QString());
        return;
    }
    QString reason = event.value(QLatin1String("reason")).toString().left(MaxDnsReason).simplified();
    if (reason.isEmpty())
        reason = QStringLiteral("the helper gave no reason");
    emit dnsReported(false, reason);
}

void HelperDaemonLauncher::connectionClosed()
{
    readEvents();
    if (m_ended)
        return;
    fail(QStringLiteral("HELPER_LOST"),
         m_started ? QStringLiteral("the connection to corrivo2-helper ended while openvpn ran")
                   : QStringLiteral("corrivo2-helper closed the connection without starting openvpn"));
}

void HelperDaemonLauncher::fail(const QString &status, const QString &message)
{
    if (m_ended)
        return;
    emit failed(status, message);
    // After a start, the daemon is gone with the helper's session (the helper ends
    // its daemon whenever it gives up on a connection).
    if (m_started)
        end(-1, true);
    else
        m_ended = true;
    close();
}

void HelperDaemonLauncher::end(int exitCode, bool crashed)
{
    if (m_ended)
        return;
    m_ended = true;
    emit finished(exitCode, crashed);
    close();
}

void HelperDaemonLauncher::terminate()
{
    // Closing the connection is the one way to end the daemon apart from asking it;
    // the helper sends it SIGTERM and, should it linger, SIGKILL.
    end(0, false);
}

void HelperDaemonLauncher::kill()
{
    end(-1, true);
}

void HelperDaemonLauncher::close()
{
    m_socket.disconnect(this);
    m_socket.abort();
}

} // namespace ovpn
