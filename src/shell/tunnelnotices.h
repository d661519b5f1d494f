#pragma once

#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>

class Auth;
class VidEru;

// What the desktop tells a person about the tunnel: the controller's signals become
// the states the page shows (down, connecting, up) plus "reconnecting" (up before, the
// connection lost since), and each change a person should hear of becomes one notice.
// A state entered again (a second "connecting" while reconnecting) says nothing.
class TunnelNotices : public QObject
{
    Q_OBJECT

public:
    enum class State {
        Down,
        Connecting,
        Up,
        Reconnecting,
    };
    Q_ENUM(State)

    explicit TunnelNotices(QObject *parent = nullptr);

    // Follows this controller (and, for the automatic sign-in, this session) from now
    // on; deviceName turns the device id the controller carries into its name.
    void bind(VidEru *vpn, Auth *auth, std::function<QString(int)> deviceName);

    State state() const;
    // A stop was asked for and the tunnel has not reported its end yet.
    bool stopPending() const;
    int deviceId() const;
    QString deviceName() const;

signals:
    void stateChanged(TunnelNotices::State state);
    // One per change worth a notice; each replaces the one before on the desktop.
    void notice(const QString &summary, const QString &body);

private:
    void moveTo(State next);
    void connecting(int deviceId);
    void connected(int deviceId);
    void disconnected();
    void statusChanged();

    QPointer<VidEru> m_vpn;
    QPointer<Auth> m_auth;
    std::function<QString(int)> m_deviceName;
    State m_state = State::Down;
    int m_deviceId = -1;
    // The controller went through "stop requested": the end that follows was asked for.
    bool m_stopRequested = false;
};
