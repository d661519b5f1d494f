#include "bridge/hlv.h"

#include <QDebug>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QTimer>
#include <QUrl>

#include "corrivoconfig.h"
#include "model/hlvsettings.h"
#include "shell/logging.h"

namespace {

const char HlvGroup[] = "hlv";
const char LanguageKey[] = "language";
const char VpnGroup[] = "vpn";
const char LastDeviceIdKey[] = "last_device_id";

} // namespace

Hlv::Hlv(QObject *parent)
    : QObject(parent)
{
    // Collaborators live for the whole process and are never deleted: a replaced
    // window's bridge stays in memory with them.
    api = new Api();

    reloadingDomains = false;
    reloadDomainsTimer = new QTimer(this);
    connect(reloadDomainsTimer, &QTimer::timeout, this, &Hlv::reloadDomains);

    const QString defaultLanguage = QLocale::system().name().left(2);
    {
        HlvSettings settings;
        settings.beginGroup(QLatin1String(HlvGroup));
        language = settings.value(QLatin1String(LanguageKey), defaultLanguage).toString();
        settings.endGroup();
    }

    auth = new Auth();

    startVpnOnDisconnect = false;
    vpn = new VidEru();

    lastDeviceId = -1;
    {
        HlvSettings settings;
        settings.beginGroup(QLatin1String(VpnGroup));
        lastDeviceId = settings.value(QLatin1String(LastDeviceIdKey), -1).toInt();
        settings.endGroup();
    }
    QMessageLogger().debug() << lastDeviceId;
    autoStartVpnPending = lastDeviceId != -1;

    virtualSerialPortsManager = new VirtualSerialPortsManager(vpn, &domains);
}

Hlv::~Hlv() = default;

HlvDevice *Hlv::findDevice(int id) const
{
    Q_UNUSED(id)
    return nullptr;
}

HlvDomain *Hlv::findDomainOfDevice(int id) const
{
    Q_UNUSED(id)
    return nullptr;
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
    HlvSettings settings;
    settings.beginGroup(QLatin1String(HlvGroup));
    settings.setValue(QLatin1String(LanguageKey), language);
    settings.endGroup();
}

QJsonArray Hlv::getDomainsJson()
{
    return {};
}

QJsonArray Hlv::getDeviceByIdJson(int device_id)
{
    Q_UNUSED(device_id)
    return {};
}

void Hlv::loadDomains()
{
}

void Hlv::reloadDomains()
{
}

void Hlv::startReloadDomainsTimer()
{
}

void Hlv::stopReloadDomainsTimer()
{
}

void Hlv::startVpnDevice(int id)
{
    Q_UNUSED(id)
}

void Hlv::startVpnLastDevice(bool emitConnectingSignal)
{
    Q_UNUSED(emitConnectingSignal)
}

void Hlv::stopVpn()
{
}

QJsonObject Hlv::getVpnStatsJson()
{
    return {};
}

bool Hlv::create(int type, int deviceId)
{
    Q_UNUSED(type)
    Q_UNUSED(deviceId)
    return false;
}

bool Hlv::destroyVirtualSerialPort(int deviceId, int type)
{
    Q_UNUSED(deviceId)
    Q_UNUSED(type)
    return false;
}

QJsonArray Hlv::getVirtualSerialPortsByDeviceIdJson(int device_id)
{
    Q_UNUSED(device_id)
    return {};
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
    Q_UNUSED(device_id)
}

void Hlv::forgotPassword()
{
    QDesktopServices::openUrl(QUrl(QStringLiteral(CORRIVO_ACCOUNT_URL "/auth//forgot")));
}

void Hlv::logout()
{
}

void Hlv::m_exit()
{
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
    HlvSettings settings;
    settings.beginGroup(QLatin1String(HlvGroup));
    const bool needed = settings.value(QStringLiteral("tour%1").arg(tour), true).toBool();
    settings.endGroup();
    return needed;
}

void Hlv::tourIsNotNeeded(int tour)
{
    HlvSettings settings;
    settings.beginGroup(QLatin1String(HlvGroup));
    settings.setValue(QStringLiteral("tour%1").arg(tour), false);
    settings.endGroup();
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
    return true;
}

bool Hlv::checkRootPermissions()
{
    return true;
}

bool Hlv::checkRootPermissionsWithPassword(QString password)
{
    Q_UNUSED(password)
    return true;
}

void Hlv::restartAsRoot(QString password)
{
    Q_UNUSED(password)
}

void Hlv::kill()
{
    emit onKill();
}

void Hlv::debug(QString message)
{
    QMessageLogger().debug() << message;
}

void Hlv::loadDomainsSuccess(int status, QString data)
{
    Q_UNUSED(status)
    Q_UNUSED(data)
}

void Hlv::loadDomainsError(int status, QString data)
{
    Q_UNUSED(status)
    Q_UNUSED(data)
}

void Hlv::getVpnDomainConfigSuccess(int status, QString data)
{
    Q_UNUSED(status)
    Q_UNUSED(data)
}

void Hlv::getVpnDomainConfigError(int status, QString data)
{
    Q_UNUSED(status)
    Q_UNUSED(data)
}

void Hlv::onVpnConnected(int device_id)
{
    Q_UNUSED(device_id)
}

void Hlv::onVpnDisconnected()
{
}

void Hlv::onGetApiKeySuccess()
{
}
