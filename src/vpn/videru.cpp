#include "vpn/videru.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QtGlobal>

#include "base/logging.h"
#include "vpn/ovpndaemonoptions.h"
#include "vpn/viderusignals.h"
#include "vpn/videruthread.h"
#include "vpn/viderutransportstats.h"

namespace {

const char Category[] = "hlv_vpn";
// How long the end of the process waits for the workers to wind their connections down.
constexpr int FinishWorkersMs = 10000;

} // namespace

VidEru::VidEru(QObject *parent)
    : QObject(parent)
    , deviceId(-1)
    , status(1)
    , worker(nullptr)
{
    VidEruSignals *relay = VidEruSignals::instance();
    connect(relay, SIGNAL(connected()), this, SLOT(connected()));
    connect(relay, SIGNAL(disconnected()), this, SLOT(disconnected()));
    connect(relay, SIGNAL(connecting()), this, SLOT(connecting()));
    connect(relay, SIGNAL(operationNotPermitted()), this, SLOT(operationNotPermitted()));
    if (QCoreApplication *application = QCoreApplication::instance())
        connect(application, &QCoreApplication::aboutToQuit, this, &VidEru::finishWorkers);
}

bool VidEru::setProfilePath(QString path)
{
    if (path.isEmpty())
        return false;
    profilePath = path;
    return true;
}

void VidEru::setCredentials(QString username, QString password)
{
    this->username = username;
    this->password = password;
    challengeResponse = QString();
    dynamicChallengeCookie = QString();
}

bool VidEru::start()
{
    logMessage(4, Category, "VidEru::start", QStringLiteral("New worker thread"));
    worker = new VidEruThread();  // deletes itself when its thread finishes, or is deleted below

    ovpn::Config config = ovpn::applicationConfig();
    config.content = VidEruClient::readProfile(profilePath).toStdString();

    const ovpn::EvalConfig eval = worker->client.eval_config(config);
    if (eval.error) {
        logMessage(1, Category, "VidEru::start",
                   QStringLiteral("eval config error: ") + QString::fromStdString(eval.message));
        // A refused profile is worth a line even with the log switched off: it is the only
        // place that says why the tunnel did not start.
        qWarning("Corrivo 2: the VPN profile cannot be used: %s", eval.message.c_str());
        abandonWorker();
        return false;
    }

    if (!eval.autologin) {
        logMessage(4, Category, "VidEru::start", QStringLiteral("Need credentials"));
        if (password.isEmpty() || username.isEmpty()) {
            abandonWorker();
            return false;
        }
        ovpn::ProvideCreds creds;
        creds.username = username.toStdString();
        creds.password = password.toStdString();
        creds.response = challengeResponse.toStdString();
        creds.dynamicChallengeCookie = dynamicChallengeCookie.toStdString();
        const ovpn::Status credsStatus = worker->client.provide_creds(creds);
        if (credsStatus.error) {
            logMessage(1, Category, "VidEru::start",
                       QStringLiteral("creds error: ") + QString::fromStdString(credsStatus.message));
            abandonWorker();
            return false;
        }
    }

    logMessage(4, Category, "VidEru::start", QStringLiteral("Connecting..."));
    connect(worker, SIGNAL(finished()), worker, SLOT(deleteLater()));
    // A worker can end without its connection reporting "DISCONNECTED" (the daemon
    // could not start): the end of the thread tells us then. Queued after the
    // deleteLater above, this runs while the worker still exists, and it only
    // compares the pointer.
    VidEruThread *started = worker;
    connect(worker, &QThread::finished, this, [this, started] {
        runningWorkers.removeAll(started);
        workerFinished(started);
    });
    runningWorkers.append(worker);
    worker->start();
    return true;
}

// A worker whose thread never started cannot delete itself.
void VidEru::abandonWorker()
{
    delete worker;
    worker = nullptr;
}

bool VidEru::stop()
{
    status = 0;
    if (!worker) {
        status = 1;
        emit onDisconnected();
        return false;
    }
    const bool stopped = worker->stop();
    logMessage(4, Category, "VidEru::stop", QStringLiteral("Delete worker thread"));
    worker = nullptr;
    return stopped;
}

VidEruTransportStats *VidEru::getTransportStats()
{
    if (!worker)
        return nullptr;
    return worker->getTransportStats();
}

int VidEru::getStatus()
{
    return status;
}

void VidEru::connecting()
{
    logMessage(4, Category, "VidEru::connecting", QStringLiteral("Connecting"));
    status = 2;
    emit onConnecting(deviceId);
}

void VidEru::connected()
{
    logMessage(4, Category, "VidEru::connected", QStringLiteral("Connected"));
    status = 3;
    emit onConnected(deviceId);
}

void VidEru::disconnected()
{
    logMessage(4, Category, "VidEru::disconnected", QStringLiteral("Disconnected"));
    status = 1;
    logMessage(4, Category, "VidEru::disconnected", QStringLiteral("Delete worker thread"));
    worker = nullptr;
    emit onDisconnected();
}

void VidEru::operationNotPermitted()
{
    logMessage(4, Category, "VidEru::operationNotPermitted", QStringLiteral("Operation not permitted"));
    emit onOperationNotPermitted();
}

// The process is about to end, which would cut off a worker still running: its
// daemon would die with us, but its private directory and management socket would
// stay behind. Every worker is asked to stop and waited for, within a bound.
void VidEru::finishWorkers()
{
    const QDeadlineTimer deadline(FinishWorkersMs);
    for (const QPointer<VidEruThread> &running : std::as_const(runningWorkers)) {
        if (running.isNull())
            continue;
        running->stop();
        if (!running->wait(deadline))
            logMessage(1, Category, "VidEru::finishWorkers", QStringLiteral("Worker still running at exit"));
    }
}

void VidEru::setDeviceId(int id)
{
    deviceId = id;
}

int VidEru::getDeviceId() const
{
    return deviceId;
}

void VidEru::workerFinished(VidEruThread *finished)
{
    if (finished != worker)
        return;
    logMessage(4, Category, "VidEru::workerFinished", QStringLiteral("Worker ended without disconnecting"));
    worker = nullptr;
    status = 1;
    emit onDisconnected();
}
