#include "vpn/videru.h"

#include <QCoreApplication>
#include <QDeadlineTimer>

#include <memory>

#include "base/logfile.h"
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
{
    VidEruSignals *relay = VidEruSignals::instance();
    connect(relay, &VidEruSignals::connected, this, &VidEru::connected);
    connect(relay, &VidEruSignals::disconnected, this, &VidEru::disconnected);
    connect(relay, &VidEruSignals::connecting, this, &VidEru::connecting);
    connect(relay, &VidEruSignals::operationNotPermitted, this, &VidEru::operationNotPermitted);
    connect(relay, &VidEruSignals::dnsReported, this, &VidEru::dnsReported);
    if (QCoreApplication *application = QCoreApplication::instance())
        connect(application, &QCoreApplication::aboutToQuit, this, &VidEru::finishWorkers);
}

bool VidEru::setProfilePath(QString path)
{
    if (path.isEmpty())
        return false;
    m_profilePath = path;
    return true;
}

void VidEru::setCredentials(QString username, QString password)
{
    LogFile::addSecret(password);
    m_username = username;
    m_password = password;
    m_challengeResponse = QString();
    m_dynamicChallengeCookie = QString();
}

bool VidEru::start()
{
    logMessage(4, Category, "VidEru::start", QStringLiteral("New worker thread"));
    // Until its thread runs, the new worker is ours to delete: it becomes the current
    // one (and deletes itself) only below.
    auto worker = std::make_unique<VidEruThread>();

    ovpn::Config config = ovpn::applicationConfig();
    QString mergeError;
    config.content = VidEruClient::readProfile(m_profilePath, &mergeError, &config.contentLines).toStdString();

    // A profile that could not be merged is refused for that reason, not for the empty
    // text the merge leaves.
    ovpn::EvalConfig eval;
    if (!mergeError.isEmpty()) {
        eval.error = true;
        eval.message = "profile cannot be read: " + mergeError.toStdString();
    } else {
        eval = worker->client.eval_config(config);
    }
    if (eval.error) {
        logMessage(1, Category, "VidEru::start",
                   QStringLiteral("eval config error: ") + QString::fromStdString(eval.message));
        // A refused profile is worth a line even with the log switched off: it is the only
        // place that says why the tunnel did not start.
        qWarning("Corrivo 2: the VPN profile cannot be used: %s", eval.message.c_str());
        return startFailed(QString::fromStdString(eval.message));
    }

    if (!eval.autologin) {
        logMessage(4, Category, "VidEru::start", QStringLiteral("Need credentials"));
        if (m_password.isEmpty() || m_username.isEmpty())
            return startFailed(QStringLiteral("the profile needs a user name and password, and none came with it"));
        ovpn::ProvideCreds creds;
        creds.username = m_username.toStdString();
        creds.password = m_password.toStdString();
        creds.response = m_challengeResponse.toStdString();
        creds.dynamicChallengeCookie = m_dynamicChallengeCookie.toStdString();
        const ovpn::Status credsStatus = worker->client.provide_creds(creds);
        if (credsStatus.error) {
            logMessage(1, Category, "VidEru::start",
                       QStringLiteral("creds error: ") + QString::fromStdString(credsStatus.message));
            return startFailed(QStringLiteral("the VPN credentials cannot be used: ")
                               + QString::fromStdString(credsStatus.message));
        }
    }
    m_startFailure.clear();
    m_dnsFailure.clear();

    logMessage(4, Category, "VidEru::start", QStringLiteral("Connecting..."));
    VidEruThread *started = worker.release();  // deletes itself when its thread finishes
    connect(started, &QThread::finished, started, &QObject::deleteLater);
    // A worker can end without its connection reporting "DISCONNECTED" (the daemon
    // could not start): the end of the thread tells us then. Queued after the
    // deleteLater above, this runs while the worker still exists.
    const quint64 id = started->client.id();
    connect(started, &QThread::finished, this, [this, started, id] {
        m_runningWorkers.removeAll(started);
        workerFinished(id);
    });
    m_runningWorkers.append(started);
    // A worker still current here is one winding down after stop(): from now on its
    // events are stale.
    m_worker = started;
    started->start();
    return true;
}

bool VidEru::stop()
{
    VidEruThread *worker = runningWorker();
    if (!worker) {
        moveTo(VpnStatus::Disconnected);
        return false;
    }
    moveTo(VpnStatus::StopRequested);
    const bool stopped = worker->stop();
    // The worker stays current until its end is reported, but it is not stopped or
    // asked for figures again.
    logMessage(4, Category, "VidEru::stop", QStringLiteral("Delete worker thread"));
    return stopped;
}

VidEruTransportStats *VidEru::getTransportStats()
{
    VidEruThread *worker = runningWorker();
    if (!worker)
        return nullptr;
    return worker->getTransportStats();
}

int VidEru::getStatus()
{
    return int(m_status);
}

QString VidEru::getStartFailure() const
{
    return m_startFailure;
}

QString VidEru::getDnsFailure() const
{
    return m_dnsFailure;
}

bool VidEru::startFailed(const QString &reason)
{
    m_startFailure = reason;
    emit onStartFailed(reason);
    return false;
}

bool VidEru::isConnected() const
{
    return m_status == VpnStatus::Connected;
}

QString VidEru::profilePath() const
{
    return m_profilePath;
}

QString VidEru::username() const
{
    return m_username;
}

QString VidEru::password() const
{
    return m_password;
}

void VidEru::announceConnecting(int deviceId)
{
    emit onConnecting(deviceId);
}

void VidEru::announceDisconnected()
{
    emit onDisconnected();
}

// The one place the status changes. Every entry is announced, a repeated one too (a
// second "disconnected" reaches the page and the ports again); statusChanged() only
// says that the value differs.
void VidEru::moveTo(VpnStatus next)
{
    const bool changed = next != m_status;
    m_status = next;
    if (changed)
        emit statusChanged();
    switch (next) {
    case VpnStatus::StopRequested:
        // Nothing to tell yet: the worker's end will.
        break;
    case VpnStatus::Disconnected:
        m_dnsFailure.clear();
        emit onDisconnected();
        break;
    case VpnStatus::Connecting:
        emit onConnecting(m_deviceId);
        break;
    case VpnStatus::Connected:
        emit onConnected(m_deviceId);
        break;
    }
}

// An event counts when it names the current worker. An event that names none (0) only
// matches a controller without a worker: the client always names its own.
bool VidEru::isCurrent(quint64 worker, const char *function) const
{
    const quint64 current = m_worker ? m_worker->client.id() : 0;
    if (worker == current)
        return true;
    logMessage(4, Category, function,
               QStringLiteral("Ignored: worker %1 is not the current one").arg(worker));
    return false;
}

VidEruThread *VidEru::runningWorker() const
{
    if (!m_worker || m_worker->stopRequested())
        return nullptr;
    return m_worker;
}

void VidEru::connecting(quint64 worker)
{
    if (!isCurrent(worker, "VidEru::connecting"))
        return;
    logMessage(4, Category, "VidEru::connecting", QStringLiteral("Connecting"));
    moveTo(VpnStatus::Connecting);
}

void VidEru::connected(quint64 worker)
{
    if (!isCurrent(worker, "VidEru::connected"))
        return;
    logMessage(4, Category, "VidEru::connected", QStringLiteral("Connected"));
    moveTo(VpnStatus::Connected);
}

void VidEru::disconnected(quint64 worker)
{
    if (!isCurrent(worker, "VidEru::disconnected"))
        return;
    logMessage(4, Category, "VidEru::disconnected", QStringLiteral("Disconnected"));
    logMessage(4, Category, "VidEru::disconnected", QStringLiteral("Delete worker thread"));
    // Dropped before the announcement: a receiver may start the next worker at once.
    m_worker = nullptr;
    moveTo(VpnStatus::Disconnected);
}

void VidEru::dnsReported(quint64 worker, bool applied, const QString &reason)
{
    if (!isCurrent(worker, "VidEru::dnsReported"))
        return;
    logMessage(applied ? 4 : 2, Category, "VidEru::dnsReported",
               applied ? QStringLiteral("DNS applied") : QStringLiteral("DNS not applied: ") + reason);
    m_dnsFailure = applied ? QString() : reason;
    if (!applied)
        emit onDnsNotApplied(reason);
}

void VidEru::operationNotPermitted(quint64 worker)
{
    if (!isCurrent(worker, "VidEru::operationNotPermitted"))
        return;
    logMessage(4, Category, "VidEru::operationNotPermitted", QStringLiteral("Operation not permitted"));
    emit onOperationNotPermitted();
}

// The process is about to end, which would cut off a worker still running: its
// daemon would die with us, but its private directory and management socket would
// stay behind. Every worker is asked to stop and waited for, within a bound.
void VidEru::finishWorkers()
{
    const QDeadlineTimer deadline(FinishWorkersMs);
    for (const QPointer<VidEruThread> &running : std::as_const(m_runningWorkers)) {
        if (running.isNull())
            continue;
        running->stop();
        if (!running->wait(deadline))
            logMessage(1, Category, "VidEru::finishWorkers", QStringLiteral("Worker still running at exit"));
    }
}

void VidEru::setDeviceId(int id)
{
    m_deviceId = id;
}

int VidEru::getDeviceId() const
{
    return m_deviceId;
}

// Its "DISCONNECTED" normally came first and made it stale; a current worker that
// ends without one takes the tunnel down all the same.
void VidEru::workerFinished(quint64 worker)
{
    if (!m_worker || m_worker->client.id() != worker)
        return;
    logMessage(4, Category, "VidEru::workerFinished", QStringLiteral("Worker ended without disconnecting"));
    m_worker = nullptr;
    moveTo(VpnStatus::Disconnected);
}
