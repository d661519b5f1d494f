#pragma once

#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>

class VidEruThread;
class VidEruTransportStats;

// The VPN controller: the tunnel's status for the page and the serial ports, the
// material a connection needs, and the worker of the current connection. Lives on
// the GUI thread; events come back from the worker through VidEruSignals.
//
// status: 0 stop requested, 1 disconnected (start value), 2 connecting or
// reconnecting, 3 connected.
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
    // Asks the current worker to end; true when it accepted. Without a worker the
    // status becomes 1 and onDisconnected() is emitted before this returns.
    bool stop();
    // Null without a worker, else a new snapshot the caller deletes.
    VidEruTransportStats *getTransportStats();
    // The device whose domain the tunnel serves; onConnecting and onConnected carry
    // it. -1 until the bridge sets it after a successful start.
    void setDeviceId(int id);
    // Also asked by the page when it starts while a tunnel is already up.
    Q_INVOKABLE int getDeviceId() const;

    // Read by the bridge and the serial ports; written only by this controller.
    int deviceId;
    int status;
    QString username;
    QString password;
    QString profilePath;

signals:
    void onConnecting(int deviceId);
    void onConnected(int deviceId);
    void onDisconnected();
    void onOperationNotPermitted();
    void statusChanged();

public slots:
    int getStatus();

private slots:
    void connecting();
    void connected();
    void disconnected();
    void operationNotPermitted();
    void finishWorkers();

private:
    void abandonWorker();
    void workerFinished(VidEruThread *finished);

    QString dynamicChallengeCookie;
    QString challengeResponse;
    VidEruThread *worker;
    // Every worker whose thread runs, the current one and those still winding down.
    QList<QPointer<VidEruThread>> runningWorkers;
};
