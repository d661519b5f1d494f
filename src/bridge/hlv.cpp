#include "bridge/hlv.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
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
#include "model/idmatcher.h"
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

} // namespace

Hlv::Hlv(QObject *parent)
    : QObject(parent)
{
    // Collaborators live for the whole process and are never deleted: a replaced
    // window's bridge stays in memory with them.
    api = new Api();
    connect(api, &Api::onGetDomainsSuccess, this, &Hlv::loadDomainsSuccess);
    connect(api, &Api::onGetDomainsError, this, &Hlv::loadDomainsError);
    connect(api, &Api::onGetVpnDomainConfigSuccess, this, &Hlv::getVpnDomainConfigSuccess);
    connect(api, &Api::onGetVpnDomainConfigError, this, &Hlv::getVpnDomainConfigError);

    reloadingDomains = false;
    reloadDomainsTimer = new QTimer(this);
    connect(reloadDomainsTimer, &QTimer::timeout, this, &Hlv::reloadDomains);

    const QString defaultLanguage = QLocale::system().name().left(2);
    language = HlvSettings().language(defaultLanguage);

    {
        HlvSettings settings;
        domains = settings.getDomains();
    }

    auth = new Auth();
    connect(auth, &Auth::onGetApiKeySuccess, this, &Hlv::onGetApiKeySuccess);

    vpn = new VidEru();
    connect(vpn, &VidEru::onConnected, this, &Hlv::onVpnConnected);
    connect(vpn, &VidEru::onDisconnected, this, &Hlv::onVpnDisconnected);

    lastDeviceId = HlvSettings().lastDeviceId();
    QMessageLogger().debug() << lastDeviceId;
    pendingStart = lastDeviceId != -1 ? PendingStart::AfterDomainsLoaded : PendingStart::None;

    virtualSerialPortsManager = new VirtualSerialPortsManager(vpn, &domains);
    connect(auth, &Auth::onLoginSuccess, virtualSerialPortsManager, &VirtualSerialPortsManager::loadVirtualPorts);
}

// The collaborators outlive the bridge on purpose. The ports manager points into
// `domains`, so it is unhooked from the events that would make it read the list.
Hlv::~Hlv()
{
    unhookPortsManager();
}

void Hlv::unhookPortsManager()
{
    disconnect(vpn, nullptr, virtualSerialPortsManager, nullptr);
    disconnect(auth, nullptr, virtualSerialPortsManager, nullptr);
}

// A closed window's bridge stays in memory, and its controller still hears the
// process-wide VPN relay. Once the next window's bridge runs the tunnel, this one
// must neither store its own last device nor start a tunnel of its own, nor act on
// cloud answers still on their way. Follows m_exit(), which already dropped a waiting
// start and stopped the reload timer; unhooked, nothing can bring either back.
void Hlv::retire()
{
    disconnect(vpn, nullptr, this, nullptr);
    disconnect(api, nullptr, this, nullptr);
    disconnect(auth, nullptr, this, nullptr);
    unhookPortsManager();
}

HlvDevice *Hlv::findDevice(int id) const
{
    return m_deviceIndex.device(domains, id);
}

HlvDomain *Hlv::findDomainOfDevice(int id) const
{
    return m_deviceIndex.domainOfDevice(domains, id);
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
    this->language = language;
    HlvSettings().setLanguage(language);
}

QJsonArray Hlv::getDomainsJson()
{
    return domainsJson();
}

QJsonArray Hlv::domainsJson()
{
    if (m_domainsJsonFor != domains || m_domainsJson.size() != domains.size()) {
        m_domainsJson = QJsonArray();
        for (const HlvDomain *domain : std::as_const(domains))
            m_domainsJson.append(domain->toJson());
        m_domainsJsonFor = domains;
    }
    return m_domainsJson;
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
    if (!auth->isAuthenticated()) {
        emit onLoadDomainsError();
        return;
    }
    reloadingDomains = false;
    api->getDomains(auth->apiKey);
}

void Hlv::reloadDomains()
{
    if (auth->isAuthenticated()) {
        reloadingDomains = true;
        api->getDomains(auth->apiKey);
    } else {
        emit onReloadDomainsError();
        reloadingDomains = false;
    }
}

void Hlv::startReloadDomainsTimer()
{
    if (!reloadDomainsTimer->isActive())
        reloadDomainsTimer->start(ReloadDomainsIntervalMs);
}

void Hlv::stopReloadDomainsTimer()
{
    if (reloadDomainsTimer->isActive())
        reloadDomainsTimer->stop();
}

void Hlv::emitDomainsError()
{
    if (reloadingDomains)
        emit onReloadDomainsError();
    else
        emit onLoadDomainsError();
    reloadingDomains = false;
}

void Hlv::loadDomainsSuccess(int status, QString data)
{
    if (status != 200) {
        emitDomainsError();
        return;
    }
    // An answer equal to the one merged last, onto the list that merge left, changes
    // nothing: with thousands of devices that is most reloads, so they skip the parse.
    if (data != m_mergedReply || m_mergedReplyFor != domains) {
        const QJsonDocument document = QJsonDocument::fromJson(data.toUtf8());
        if (!document.isObject() || !document.object().contains(QLatin1String("domains"))) {
            emitDomainsError();
            return;
        }

        QList<HlvDomain *> fresh;
        for (const QJsonValue &value : document.object().value(QLatin1String("domains")).toArray())
            fresh.append(HlvDomain::fromJson(value.toObject()));
        mergeDomains(fresh);
        m_mergedReply = data;
        m_mergedReplyFor = domains;
    }

    if (reloadingDomains) {
        emit onReloadDomainsSuccess();
        HlvDevice *tunnelDevice = findDevice(vpn->getDeviceId());
        if (tunnelDevice && tunnelDevice->vpnStatus != 1 && vpn->isConnected())
            stopVpn();
    } else {
        emit onLoadDomainsSuccess();
    }
    reloadingDomains = false;

    storeDomains();
    startReloadDomainsTimer();
    virtualSerialPortsManager->onDomainsUpdated(&domains);

    switch (pendingStart) {
    case PendingStart::AfterDomainsLoaded:
        pendingStart = PendingStart::None;
        if (lastDeviceId != -1)
            startVpnDevice(lastDeviceId);
        break;
    case PendingStart::None:
    case PendingStart::AfterDisconnect:
        break;
    }
}

void Hlv::mergeDomains(QList<HlvDomain *> fresh)
{
    // The JSON of a domain that did not change is taken over from the last merge.
    const QJsonArray heldJson = domainsJson();
    QList<int> freshIds;
    freshIds.reserve(fresh.size());
    for (const HlvDomain *domain : std::as_const(fresh))
        freshIds.append(domain->id);
    IdMatcher matcher(freshIds);

    HlvDomain::Changes changes;
    QList<HlvDomain *> merged;
    merged.reserve(fresh.size());
    QJsonArray mergedJson;
    for (qsizetype position = 0; position < domains.size(); ++position) {
        HlvDomain *held = domains.at(position);
        const qsizetype match = matcher.take(held->id);
        if (match < 0) {
            held->deleteDevices();
            delete held;
            changes.members = true;
            continue;
        }
        HlvDomain *update = fresh.at(match);
        bool changed = held->name != update->name || held->vpnEnable != update->vpnEnable;
        held->name = update->name;
        held->vpnEnable = update->vpnEnable;
        const HlvDomain::Changes deviceChanges = held->updateDevices(update->devices);
        // The held domain took over or deleted the fresh devices; only the fresh
        // domain object itself is left.
        update->devices.clear();
        delete update;
        changed = changed || deviceChanges.any();
        changes.values = changes.values || changed;
        changes.members = changes.members || deviceChanges.members;
        merged.append(held);
        mergedJson.append(changed ? QJsonValue(held->toJson()) : heldJson.at(position));
    }
    for (qsizetype position = 0; position < fresh.size(); ++position) {
        if (!matcher.isTaken(position)) {
            merged.append(fresh.at(position));
            mergedJson.append(fresh.at(position)->toJson());
            changes.members = true;
        }
    }

    // Without a change the merged lists equal the held ones; keeping those keeps the
    // derived parts' checks of the list they were made for at constant cost.
    if (changes.members) {
        domains = merged;
        m_deviceIndex.invalidate();
    }
    if (changes.any()) {
        m_domainsJson = mergedJson;
        m_domainsJsonFor = domains;
        m_storedDomains = QVariant();
    }
}

void Hlv::storeDomains()
{
    HlvSettings settings;
    // Rewriting (and encrypting) the whole entry for a list it holds already would cost
    // more than the rest of a reload. The stored value is compared too: signing in as
    // another user empties it behind the bridge's back.
    if (m_storedDomains.isValid() && m_storedDomainsFor == domains && settings.domainsValue() == m_storedDomains)
        return;
    settings.setDomainsJson(domainsJson());
    m_storedDomains = settings.domainsValue();
    m_storedDomainsFor = domains;
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
    if (!auth->isAuthenticated()) {
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
        lastDeviceId = id;
        api->getVpnDomainConfig(auth->apiKey, domain->id);
        return;
    }
    logMessage(4, "hlv_vpn", function, QStringLiteral("Device is OFFLINE"));
    onVpnDisconnected();
    vpn->announceDisconnected();
}

void Hlv::startVpnLastDevice(bool emitConnectingSignal)
{
    if (emitConnectingSignal)
        vpn->announceConnecting(lastDeviceId);
    startVpnDevice(lastDeviceId);
}

void Hlv::stopVpn()
{
    // A stop asked for by the user also cancels a start waiting for the old tunnel.
    cancelStartAfterDisconnect();
    vpn->stop();
}

// Only the start waiting for a tunnel's end: the start-up reconnection still waits for
// the first domain list, after a sign-out too.
void Hlv::cancelStartAfterDisconnect()
{
    switch (pendingStart) {
    case PendingStart::AfterDisconnect:
        pendingStart = PendingStart::None;
        break;
    case PendingStart::None:
    case PendingStart::AfterDomainsLoaded:
        break;
    }
}

QJsonObject Hlv::getVpnStatsJson()
{
    QJsonObject stats;
    VidEruTransportStats *snapshot = vpn->getTransportStats();
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
    return virtualSerialPortsManager->create(type, device);
}

bool Hlv::destroyVirtualSerialPort(int deviceId, int type)
{
    if (!findDevice(deviceId))
        return false;
    return virtualSerialPortsManager->destroy(deviceId, type);
}

QJsonArray Hlv::getVirtualSerialPortsByDeviceIdJson(int device_id)
{
    const QList<VirtualSerialPort *> ports = virtualSerialPortsManager->getVirtualSerialPortsByDeviceId(device_id);
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
    auth->logout();
    m_exit();
}

void Hlv::m_exit()
{
    cancelStartAfterDisconnect();
    vpn->stop();
    stopReloadDomainsTimer();
    virtualSerialPortsManager->destroyAll();
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
    if (!auth->isAuthenticated())
        return fail(QStringLiteral("Not signed in"));

    vpn->setProfilePath(profile.profilePath);
    vpn->setCredentials(profile.username, profile.password);
    pendingStart = PendingStart::AfterDisconnect;
    vpn->stop();
}

void Hlv::onVpnConnected(int device_id)
{
    Q_UNUSED(device_id)
    HlvSettings().setLastDeviceId(lastDeviceId);
}

void Hlv::onVpnDisconnected()
{
    switch (pendingStart) {
    case PendingStart::None:
    case PendingStart::AfterDomainsLoaded:
        return;
    case PendingStart::AfterDisconnect:
        break;
    }
    pendingStart = PendingStart::None;
    if (vpn->start())
        vpn->setDeviceId(lastDeviceId);
    else
        emit onVpnStartGetConfigError();
}

void Hlv::onGetApiKeySuccess()
{
    loadDomains();
}
