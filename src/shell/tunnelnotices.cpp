#include "shell/tunnelnotices.h"

#include "cloud/auth.h"
#include "vpn/videru.h"
#include "vpn/vpnstatus.h"

TunnelNotices::TunnelNotices(QObject *parent)
    : QObject(parent)
{
}

void TunnelNotices::bind(VidEru *vpn, Auth *auth, std::function<QString(int)> deviceName)
{
    if (m_vpn)
        disconnect(m_vpn, nullptr, this, nullptr);
    if (m_auth)
        disconnect(m_auth, nullptr, this, nullptr);
    m_vpn = vpn;
    m_auth = auth;
    m_deviceName = std::move(deviceName);
    m_stopRequested = false;
    if (vpn) {
        connect(vpn, &VidEru::onConnecting, this, &TunnelNotices::connecting);
        connect(vpn, &VidEru::onConnected, this, &TunnelNotices::connected);
        connect(vpn, &VidEru::onDisconnected, this, &TunnelNotices::disconnected);
        connect(vpn, &VidEru::onOperationNotPermitted, this, &TunnelNotices::disconnected);
        connect(vpn, &VidEru::statusChanged, this, &TunnelNotices::statusChanged);
        connect(vpn, &VidEru::onStartFailed, this, [this](const QString &reason) {
            emit notice(tr("The tunnel did not start"), reason);
        });
    }
    if (auth) {
        connect(auth, &Auth::onLoginError, this, [this] {
            if (m_auth && m_auth->lastSignInWasAutomatic() && m_auth->lastSignInWasRefused())
                emit notice(tr("Sign-in refused"), tr("The stored user name and password were refused; sign in again."));
        });
    }
    // A new controller (a new bridge after a renderer crash) starts where it stands.
    if (vpn && vpn->isConnected()) {
        m_deviceId = vpn->getDeviceId();
        moveTo(State::Up);
    } else {
        moveTo(State::Down);
    }
}

TunnelNotices::State TunnelNotices::state() const
{
    return m_state;
}

bool TunnelNotices::stopPending() const
{
    return m_stopRequested && m_state != State::Down;
}

int TunnelNotices::deviceId() const
{
    return m_deviceId;
}

QString TunnelNotices::deviceName() const
{
    const QString name = m_deviceName && m_deviceId >= 0 ? m_deviceName(m_deviceId) : QString();
    return name.isEmpty() ? tr("the device") : name;
}

void TunnelNotices::moveTo(State next)
{
    if (next == m_state)
        return;
    m_state = next;
    emit stateChanged(next);
}

void TunnelNotices::statusChanged()
{
    if (m_vpn && m_vpn->getStatus() == int(VpnStatus::StopRequested))
        m_stopRequested = true;
}

// The controller's own "connecting" comes with its status moved to 2; the bridge's word
// that a tunnel to a device is asked for comes with the status as it was.
void TunnelNotices::connecting(int deviceId)
{
    m_deviceId = deviceId;
    const bool announced = !m_vpn || m_vpn->getStatus() != int(VpnStatus::Connecting);
    switch (m_state) {
    case State::Up:
        if (announced) {
            // Another device asked for: the tunnel to this one ends on purpose.
            m_stopRequested = true;
            moveTo(State::Connecting);
            break;
        }
        moveTo(State::Reconnecting);
        emit notice(tr("Connection lost"), tr("Reconnecting to %1…").arg(deviceName()));
        break;
    case State::Down:
        m_stopRequested = false;
        moveTo(State::Connecting);
        break;
    case State::Connecting:
    case State::Reconnecting:
        break;
    }
}

void TunnelNotices::connected(int deviceId)
{
    m_deviceId = deviceId;
    m_stopRequested = false;
    switch (m_state) {
    case State::Reconnecting:
        moveTo(State::Up);
        emit notice(tr("Connected again"), tr("The tunnel to %1 is back.").arg(deviceName()));
        break;
    case State::Down:
    case State::Connecting:
        moveTo(State::Up);
        emit notice(tr("Connected"), tr("Connected to %1.").arg(deviceName()));
        break;
    case State::Up:
        break;
    }
}

void TunnelNotices::disconnected()
{
    // The bridge's word that an offline device gets no tunnel leaves a running one up.
    if (m_vpn && m_vpn->isConnected())
        return;
    const bool wasUp = m_state == State::Up || m_state == State::Reconnecting;
    const bool asked = m_stopRequested;
    m_stopRequested = false;
    moveTo(State::Down);
    if (wasUp && !asked)
        emit notice(tr("Disconnected"), tr("The tunnel to %1 was ended by the server.").arg(deviceName()));
}
