#pragma once

#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QtGlobal>

#include "vpn/vpnstatus.h"

class VidEruThread;
class VidEruTransportStats;

// The VPN controller: the tunnel's status for the page and the serial ports, the
// material a connection needs, and the worker of the current connection. Lives on
// the GUI thread; events come back from the worker through VidEruSignals.
//
// The status moves only in moveTo(). The worker of the latest successful start() is
// the current one, and only its events move the status: also after stop() has asked
// it to end (status 0 waits for its "DISCONNECTED"), until it reports its end or a
// newer worker takes its place. An event of any other worker is logged and dropped,
// so a stopped tunnel that ends late cannot take the status or the pointer from the
// tunnel that followed it. Workers delete themselves when their thread ends; the
// controller only points at them.
class VidEru : public QObject
{
    Q_OBJECT
    Q_PROPERTY(int status READ getStatus NOTIFY statusChanged)

public:
    explicit VidEru(QObject *parent = nullptr);

    bool setProfilePath(QString path);
    void setCredentials(QString username, QString password);
    // Starts a worker for the profile and credentials set before; true when its
    // thread runs. The status moves only when the connection reports progress.
    bool start();
    // Asks the current worker to end; true when it accepted. Without a worker that is
    // still to be stopped the status becomes 1 and onDisconnected() is emitted before
    // this returns.
    bool stop();
    // Null without a worker that is still to be stopped, else a new snapshot the
    // caller deletes.
    VidEruTransportStats *getTransportStats();
    // The device whose domain the tunnel serves; onConnecting and onConnected carry
    // it. -1 until the bridge sets it after a successful start.
    void setDeviceId(int id);
    // Also asked by the page when it starts while a tunnel is already up.
    Q_INVOKABLE int getDeviceId() const;
    bool isConnected() const;

    QString profilePath() const;
    QString username() const;
    QString password() const;

    // The bridge's word to the page and the ports, with no change of status: a tunnel
    // to the device is asked for (before its profile is there), or the device asked
    // for is offline and no tunnel to it will come.
    void announceConnecting(int deviceId);
    void announceDisconnected();

signals:
    void onConnecting(int deviceId);
    void onConnected(int deviceId);
    void onDisconnected();
    void onOperationNotPermitted();
    void statusChanged();
    // A start() that failed, with one sentence a person can act on (the profile's line
    // and the reason for a refused profile). Emitted before start() returns false.
    void onStartFailed(QString reason);
    // The tunnel is up but its DNS settings (the server's name servers and domains)
    // were not applied to it, with the helper's reason: names in its domains may not
    // resolve. Emitted once per tunnel, whenever the helper says so.
    void onDnsNotApplied(QString reason);

public slots:
    int getStatus();
    // Why the latest start() failed; empty after a start that succeeded.
    QString getStartFailure() const;
    // Why the current tunnel's DNS settings were not applied; empty when they were,
    // before the helper said, and without a tunnel.
    QString getDnsFailure() const;

private slots:
    void connecting(quint64 worker);
    void connected(quint64 worker);
    void disconnected(quint64 worker);
    void operationNotPermitted(quint64 worker);
    void dnsReported(quint64 worker, bool applied, const QString &reason);
    void finishWorkers();

private:
    void moveTo(VpnStatus next);
    bool isCurrent(quint64 worker, const char *function) const;
    // The current worker when stop() has not been called on it yet.
    VidEruThread *runningWorker() const;
    void workerFinished(quint64 worker);
    bool startFailed(const QString &reason);

    VpnStatus m_status = VpnStatus::Disconnected;
    int m_deviceId = -1;
    QString m_username;
    QString m_password;
    QString m_profilePath;
    QString m_dynamicChallengeCookie;
    QString m_challengeResponse;
    QString m_startFailure;
    QString m_dnsFailure;
    QPointer<VidEruThread> m_worker;
    // Every worker whose thread runs: the current one and those still winding down.
    QList<QPointer<VidEruThread>> m_runningWorkers;
};
