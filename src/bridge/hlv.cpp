#include "bridge/hlv.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QStandardPaths>
#include <QTimer>
#include <QUrl>

#include "bridge/profilefiles.h"
#include "bridge/tunnelrights.h"
#include "cloud/api.h"
#include "cloud/auth.h"
#include "corrivoconfig.h"
#include "model/hlvdevice.h"
#include "model/hlvdomain.h"
#include "model/hlvsettings.h"
#include "serial/execcommand.h"
#include "base/serialportdirectory.h"
#include "serial/virtualserialport.h"
#include "serial/virtualserialportsmanager.h"
#include "base/logging.h"
#include "vpn/videru.h"
#include "vpn/viderutransportstats.h"

namespace {

constexpr int ReloadDomainsIntervalMs = 30000;
constexpr int RestartDelayMs = 500;

QJsonArray idsJson(const QList<int> &ids)
{
    QJsonArray array;
    for (int id : ids)
        array.append(id);
    return array;
}

} // namespace

Hlv::Hlv(QObject *parent)
    : QObject(parent)
{
    // Collaborators live for the whole process and are never deleted: a replaced
    // window's bridge stays in memory with them.
    m_api = new Api();
    connect(m_api, &Api::onGetDomainsSuccess, this, &Hlv::loadDomainsSuccess);
    connect(m_api, &Api::onGetDomainsError, this, &Hlv::loadDomainsError);
    connect(m_api, &Api::onGetVpnDomainConfigSuccess, this, &Hlv::getVpnDomainConfigSuccess);
    connect(m_api, &Api::onGetVpnDomainConfigError, this, &Hlv::getVpnDomainConfigError);

    m_reloadingDomains = false;
    m_reloadDomainsTimer = new QTimer(this);
    connect(m_reloadDomainsTimer, &QTimer::timeout, this, &Hlv::reloadDomains);

    const QString defaultLanguage = QLocale::system().name().left(2);
    m_language = HlvSettings().language(defaultLanguage);

    m_domains.loadStored();

    m_auth = new Auth();
    connect(m_auth, &Auth::onGetApiKeySuccess, this, &Hlv::onGetApiKeySuccess);

    m_vpn = new VidEru();
    connect(m_vpn, &VidEru::onConnected, this, &Hlv::onVpnConnected);
    connect(m_vpn, &VidEru::onDisconnected, this, &Hlv::onVpnDisconnected);

    m_lastDeviceId = HlvSettings().lastDeviceId();
    QMessageLogger().debug() << m_lastDeviceId;
    m_pendingStart = m_lastDeviceId != -1 ? PendingStart::AfterDomainsLoaded : PendingStart::None;

    m_virtualSerialPortsManager = new VirtualSerialPortsManager(m_vpn, &m_domains);
    connect(m_auth, &Auth::onLoginSuccess, m_virtualSerialPortsManager, &VirtualSerialPortsManager::loadVirtualPorts);
}

// The collaborators outlive the bridge on purpose. The ports manager points into
// the domain list, so it is unhooked from the events that would make it read the list.
Hlv::~Hlv()
{
    unhookPortsManager();
}

void Hlv::unhookPortsManager()
{
    disconnect(m_vpn, nullptr, m_virtualSerialPortsManager, nullptr);
    disconnect(m_auth, nullptr, m_virtualSerialPortsManager, nullptr);
}

// A closed window's bridge stays in memory, and its controller still hears the
// process-wide VPN relay. Once the next window's bridge runs the tunnel, this one
// must neither store its own last device nor start a tunnel of its own, nor act on
// cloud answers still on their way, nor keep the cloud session alive (the next
// bridge signs in on its own). Follows m_exit(), which already dropped a waiting start
// and stopped the reload timer; unhooked, nothing can bring either back.
void Hlv::retire()
{
    disconnect(m_vpn, nullptr, this, nullptr);
    disconnect(m_api, nullptr, this, nullptr);
    disconnect(m_auth, nullptr, this, nullptr);
    m_auth->quiesce();
    unhookPortsManager();
}

HlvDevice *Hlv::findDevice(int id) const
{
    return m_domains.device(id);
}

HlvDomain *Hlv::findDomainOfDevice(int id) const
{
    return m_domains.domainOfDevice(id);
}

QString Hlv::getAllPageFiles(QString page_name)
{
    QString result;
    const QString directory = QStringLiteral(":/pages/") + page_name;
    const QDir dir(directory);
    if (!dir.exists())
        return result;

    for (const QString &name : dir.entryList()) {
        QFile file(directory + QLatin1Char('/') + name);
        if (!file.open(QIODevice::ReadOnly))
            continue;
        const QString text = QString::fromUtf8(file.readAll());
        if (QFileInfo(name).suffix() == QLatin1String("js"))
            result += QStringLiteral("<script type='application/javascript'>") + text + QStringLiteral("</script>");
        else
            result += text;
    }
    return result;
}

void Hlv::setLanguage(QString language)
{
    m_language = language;
    HlvSettings().setLanguage(language);
}

QJsonArray Hlv::getDomainsJson()
{
    return m_domains.toJson();
}

QString Hlv::getDomainsJsonChangedSince(int revision)
{
    return m_domains.changedSince(revision);
}

QJsonArray Hlv::getDeviceByIdJson(int device_id)
{
    QJsonArray result;
    if (HlvDevice *device = findDevice(device_id))
        result.append(device->toJson());
    return result;
}

void Hlv::loadDomains()
{
    if (!m_auth->isAuthenticated()) {
        emit onLoadDomainsError();
        return;
    }
    m_reloadingDomains = false;
    m_api->getDomains(m_auth->apiKey);
}

void Hlv::reloadDomains()
{
    if (m_auth->isAuthenticated()) {
        m_reloadingDomains = true;
        m_api->getDomains(m_auth->apiKey);
    } else {
        emit onReloadDomainsError();
        m_reloadingDomains = false;
    }
}

void Hlv::startReloadDomainsTimer()
{
    if (!m_reloadDomainsTimer->isActive())
        m_reloadDomainsTimer->start(ReloadDomainsIntervalMs);
}

void Hlv::stopReloadDomainsTimer()
{
    if (m_reloadDomainsTimer->isActive())
        m_reloadDomainsTimer->stop();
}

void Hlv::emitDomainsError()
{
    if (m_reloadingDomains)
        emit onReloadDomainsError();
    else
        emit onLoadDomainsError();
    m_reloadingDomains = false;
}

void Hlv::loadDomainsSuccess(int status, QString data)
{
    if (status != 200 || !m_domains.mergeReply(data)) {
        emitDomainsError();
        return;
    }

    if (m_reloadingDomains) {
        emit onReloadDomainsSuccess();
        HlvDevice *tunnelDevice = findDevice(m_vpn->getDeviceId());
        if (tunnelDevice && tunnelDevice->vpnStatus != 1 && m_vpn->isConnected())
            stopVpn();
    } else {
        emit onLoadDomainsSuccess();
    }
    m_reloadingDomains = false;

    m_domains.store();
    startReloadDomainsTimer();
    m_virtualSerialPortsManager->onDomainsUpdated(&m_domains);

    switch (m_pendingStart) {
    case PendingStart::AfterDomainsLoaded:
        m_pendingStart = PendingStart::None;
        if (m_lastDeviceId != -1)
            startVpnDevice(m_lastDeviceId);
        break;
    case PendingStart::None:
    case PendingStart::AfterDisconnect:
        break;
    }
}

void Hlv::loadDomainsError(int status, QString data)
{
    Q_UNUSED(status)
    Q_UNUSED(data)
    emitDomainsError();
}

void Hlv::startVpnDevice(int id)
{
    const char *function = "Hlv::startVpnDevice";
    if (!m_auth->isAuthenticated()) {
        logMessage(4, "hlv_vpn", function, QStringLiteral("Not authenticated"));
        emit onVpnStartNotAuthenticated();
        return;
    }
    HlvDomain *domain = findDomainOfDevice(id);
    if (!domain) {
        logMessage(4, "hlv_vpn", function, QStringLiteral("Domain is NULL"));
        emit onVpnStartInvalidDomain();
        return;
    }
    if (!domain->vpnEnable) {
        logMessage(4, "hlv_vpn", function, QStringLiteral("Domain has not the VPN"));
        emit onVpnStartInvalidDomain();
        return;
    }
    HlvDevice *device = findDevice(id);
    if (device && device->vpnStatus == 1) {
        logMessage(4, "hlv_vpn", function, QStringLiteral("Getting VPN domain config..."));
        m_lastDeviceId = id;
        m_api->getVpnDomainConfig(m_auth->apiKey, domain->id);
        return;
    }
    logMessage(4, "hlv_vpn", function, QStringLiteral("Device is OFFLINE"));
    onVpnDisconnected();
    m_vpn->announceDisconnected();
}

void Hlv::startVpnLastDevice(bool emitConnectingSignal)
{
    if (emitConnectingSignal)
        m_vpn->announceConnecting(m_lastDeviceId);
    startVpnDevice(m_lastDeviceId);
}

void Hlv::stopVpn()
{
    // A stop asked for by the user also cancels a start waiting for the old tunnel.
    cancelStartAfterDisconnect();
    m_vpn->stop();
}

// Only the start waiting for a tunnel's end: the start-up reconnection still waits for
// the first domain list, after a sign-out too.
void Hlv::cancelStartAfterDisconnect()
{
    switch (m_pendingStart) {
    case PendingStart::AfterDisconnect:
        m_pendingStart = PendingStart::None;
        break;
    case PendingStart::None:
    case PendingStart::AfterDomainsLoaded:
        break;
    }
}

QJsonObject Hlv::getVpnStatsJson()
{
    QJsonObject stats;
    VidEruTransportStats *snapshot = m_vpn->getTransportStats();
    if (snapshot) {
        stats.insert(QStringLiteral("bytesIn"), qint64(snapshot->bytesIn));
        stats.insert(QStringLiteral("bytesOut"), qint64(snapshot->bytesOut));
        stats.insert(QStringLiteral("packetsIn"), qint64(snapshot->packetsIn));
        stats.insert(QStringLiteral("packetsOut"), qint64(snapshot->packetsOut));
        stats.insert(QStringLiteral("lastPacketReceived"), int(snapshot->lastPacketReceived));
        delete snapshot;
    } else {
        for (const char *key : {"bytesIn", "bytesOut", "packetsIn", "packetsOut", "lastPacketReceived"})
            stats.insert(QLatin1String(key), 0);
    }
    return stats;
}

bool Hlv::create(int type, int deviceId)
{
    HlvDevice *device = findDevice(deviceId);
    if (!device)
        return false;
    return m_virtualSerialPortsManager->create(type, device);
}

bool Hlv::destroyVirtualSerialPort(int deviceId, int type)
{
    if (!findDevice(deviceId))
        return false;
    return m_virtualSerialPortsManager->destroy(deviceId, type);
}

QJsonArray Hlv::getVirtualSerialPortsByDeviceIdJson(int device_id)
{
    const QList<VirtualSerialPort *> ports = m_virtualSerialPortsManager->getVirtualSerialPortsByDeviceId(device_id);
    QMessageLogger().debug() << ports.size();
    QJsonArray result;
    for (VirtualSerialPort *port : ports) {
        // The page also shows where a serial program opens the port: the name alone is
        // no path on this platform. Only the page gets it; the stored record stays as is.
        QJsonObject json = port->toJson();
        json.insert(QLatin1String("path"), SerialPortDirectory::portPath(port->getSerialName()));
        result.append(json);
    }
    return result;
}

QJsonArray Hlv::getVirtualSerialPortNamesJson()
{
    QJsonArray result;
    for (VirtualSerialPort *port : m_virtualSerialPortsManager->virtualSerialPorts()) {
        const QJsonObject record = port->toJson();
        QJsonObject json;
        for (const char *key : {"deviceId", "type", "serialName"})
            json.insert(QLatin1String(key), record.value(QLatin1String(key)));
        result.append(json);
    }
    return result;
}

QJsonArray Hlv::getVirtualSerialPortsStatusJson(int device_id)
{
    return m_virtualSerialPortsManager->portsStatusJson(device_id);
}

bool Hlv::setVirtualSerialPortMonitor(int deviceId, int type, bool on)
{
    return m_virtualSerialPortsManager->setMonitor(deviceId, type, on);
}

QJsonObject Hlv::getVirtualSerialPortMonitorJson(int deviceId, int type, double since)
{
    // A number from the page: anything but a sequence number asks from the oldest.
    const quint64 from = since >= 0 && since < 9.0e15 ? quint64(since) : 0;
    return m_virtualSerialPortsManager->monitorRecords(deviceId, type, from);
}

bool Hlv::setVirtualSerialPortTrace(int deviceId, int type, bool on)
{
    return m_virtualSerialPortsManager->setTrace(deviceId, type, on);
}

bool Hlv::getReconnectAfterSleep()
{
    return HlvSettings().reconnectAfterSleep();
}

void Hlv::setReconnectAfterSleep(bool reconnect)
{
    HlvSettings().setReconnectAfterSleep(reconnect);
}

int Hlv::getLastDomainIdOpened()
{
    HlvSettings settings;
    return settings.getLastDomainIdOpened();
}

void Hlv::setLastDomainIdOpened(int domainId)
{
    HlvSettings settings;
    settings.setLastDomainIdOpened(domainId);
}

QJsonArray Hlv::getFavouriteDevices()
{
    return idsJson(HlvSettings().favouriteDeviceIds());
}

QJsonArray Hlv::setFavouriteDevice(int deviceId, bool favourite)
{
    HlvSettings settings;
    settings.setFavouriteDevice(deviceId, favourite);
    return idsJson(settings.favouriteDeviceIds());
}

QJsonArray Hlv::getRecentDevices()
{
    return idsJson(HlvSettings().recentDeviceIds());
}

QJsonArray Hlv::addRecentDevice(int deviceId)
{
    HlvSettings settings;
    settings.addRecentDevice(deviceId);
    return idsJson(settings.recentDeviceIds());
}

void Hlv::openDeviceWebUI(int device_id)
{
    HlvDevice *device = findDevice(device_id);
    if (device && device->vpnStatus == 1)
        QDesktopServices::openUrl(QUrl(QStringLiteral("http://") + device->vpnIp));
}

void Hlv::forgotPassword()
{
    QDesktopServices::openUrl(QUrl(QStringLiteral(CORRIVO_ACCOUNT_URL "/auth//forgot")));
}

void Hlv::logout()
{
    m_auth->logout();
    m_exit();
}

void Hlv::m_exit()
{
    cancelStartAfterDisconnect();
    m_vpn->stop();
    stopReloadDomainsTimer();
    m_virtualSerialPortsManager->destroyAll();
    // The next user's sign-in clears the list the settings keep: this user's last list
    // must not land after that.
    m_domains.waitForStored();
}

QString Hlv::getApplicationVersion()
{
    return QStringLiteral(CORRIVO_APPLICATION_VERSION);
}

QString Hlv::getApplicationName()
{
    return QStringLiteral(CORRIVO_APPLICATION_NAME);
}

bool Hlv::tourIsNeeded(int tour)
{
    return HlvSettings().tourIsNeeded(tour);
}

void Hlv::tourIsNotNeeded(int tour)
{
    HlvSettings().setTourNotNeeded(tour);
}

bool Hlv::tour1IsNeeded() { return tourIsNeeded(1); }
bool Hlv::tour2IsNeeded() { return tourIsNeeded(2); }
bool Hlv::tour3IsNeeded() { return tourIsNeeded(3); }
bool Hlv::tour4IsNeeded() { return tourIsNeeded(4); }
void Hlv::tour1IsNotNeeded() { tourIsNotNeeded(1); }
void Hlv::tour2IsNotNeeded() { tourIsNotNeeded(2); }
void Hlv::tour3IsNotNeeded() { tourIsNotNeeded(3); }
void Hlv::tour4IsNotNeeded() { tourIsNotNeeded(4); }

bool Hlv::canObtainRootPermissions()
{
    return checkRootPermissions() || !QStandardPaths::findExecutable(QStringLiteral("sudo")).isEmpty();
}

bool Hlv::checkRootPermissions()
{
    return TunnelRights::current().present;
}

bool Hlv::checkRootPermissionsWithPassword(QString password)
{
    Q_UNUSED(password)
    return true;
}

void Hlv::restartAsRoot(QString password)
{
    logMessage(4, "exec_command", QStringLiteral("Restart as root..."));

    // The password reaches sudo on its standard input through an environment
    // variable that the shell expands as data, never as code; sudo's env_reset
    // keeps it from the restarted program.
    auto *runner = new ExecCommand(); // never deleted: it outlives this process on purpose
    runner->setCommand(QStringLiteral("bash"));
    runner->setArguments({QStringLiteral("-c"),
                          QStringLiteral("printf '%s\\n' \"$CORRIVO_SUDO_PASSWORD\" | sudo -k -S \"$0\" &"),
                          QCoreApplication::applicationFilePath()});
    qputenv("CORRIVO_SUDO_PASSWORD", password.toUtf8());
    const bool started = runner->startDetached();
    qunsetenv("CORRIVO_SUDO_PASSWORD");
    logMessage(4, "exec_command", started ? QStringLiteral("Start detached") : QStringLiteral("Fail to start detached"));

    QTimer::singleShot(RestartDelayMs, this, &Hlv::kill);
}

QString Hlv::rightsProblem()
{
    return TunnelRights::current().problem;
}

void Hlv::kill()
{
    emit onKill();
}

void Hlv::debug(QString message)
{
    QMessageLogger().debug() << message;
}

void Hlv::getVpnDomainConfigError(int status, QString data)
{
    Q_UNUSED(status)
    Q_UNUSED(data)
    emit onVpnStartGetConfigError();
}

void Hlv::getVpnDomainConfigSuccess(int status, QString data)
{
    const char *function = "Hlv::getVpnDomainConfigSuccess";
    auto fail = [this, function](const QString &message) {
        logMessage(4, "hlv_vpn", function, message);
        emit onVpnStartGetConfigError();
    };

    const ProfileFiles files(QStandardPaths::writableLocation(QStandardPaths::AppDataLocation), function);
    const ProfileFiles::Result profile = files.write(status, data);
    if (!profile.ok())
        return fail(profile.error);
    // The answer can arrive after the user signed out: no tunnel for nobody.
    if (!m_auth->isAuthenticated())
        return fail(QStringLiteral("Not signed in"));

    m_vpn->setProfilePath(profile.profilePath);
    m_vpn->setCredentials(profile.username, profile.password);
    m_pendingStart = PendingStart::AfterDisconnect;
    m_vpn->stop();
}

void Hlv::onVpnConnected(int device_id)
{
    Q_UNUSED(device_id)
    HlvSettings().setLastDeviceId(m_lastDeviceId);
}

void Hlv::onVpnDisconnected()
{
    switch (m_pendingStart) {
    case PendingStart::None:
    case PendingStart::AfterDomainsLoaded:
        return;
    case PendingStart::AfterDisconnect:
        break;
    }
    m_pendingStart = PendingStart::None;
    if (m_vpn->start())
        m_vpn->setDeviceId(m_lastDeviceId);
    else
        emit onVpnStartGetConfigError();
}

void Hlv::onGetApiKeySuccess()
{
    loadDomains();
}
