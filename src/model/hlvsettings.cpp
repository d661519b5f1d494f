#include "model/hlvsettings.h"

#include <QDataStream>
#include <QFile>
#include <QFileDevice>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonObject>
#include <QVariantList>

#ifdef Q_OS_UNIX
#include <cerrno>

#include <sys/stat.h>
#endif

#include "model/blowfish.h"
#include "model/hlvdomain.h"
#include "base/logging.h"

namespace {

const QSettings::Format g_hlvFormat = QSettings::registerFormat(
    QStringLiteral("hlv"), HlvSettingsFormat::read, HlvSettingsFormat::write, Qt::CaseSensitive);

QObject *withHlvDefaultFormat(QObject *parent)
{
    QSettings::setDefaultFormat(g_hlvFormat);
    return parent;
}

// Every key the application stores, with its group.
const char DomainsKey[] = "domains";
const char LastDomainIdOpenedKey[] = "last_domain_id_opened";
const char VirtualSerialPortsKey[] = "virtual_serial_ports";
const char AuthGroup[] = "auth";
const char UsernameKey[] = "username";
const char PasswordKey[] = "password";
const char LastUsernameKey[] = "last_username";
const char HlvGroup[] = "hlv";
const char LanguageKey[] = "language";
const char TourKeyPattern[] = "tour%1";
const char VpnGroup[] = "vpn";
const char LastDeviceIdKey[] = "last_device_id";
const char WindowGroup[] = "window";
const char SizeKey[] = "size";
const char PosKey[] = "pos";

QString inGroup(const char *group, const QString &key)
{
    return QLatin1String(group) + QLatin1Char('/') + key;
}

QString inGroup(const char *group, const char *key)
{
    return inGroup(group, QLatin1String(key));
}

// QSettings saves through QSaveFile, which writes a new file beside the link's
// target and renames it over that target when the settings path is a link: a link
// planted there would make the application replace any file it can write. The new
// file must be a sibling of the settings path, and that path no link.
bool replacesOnlyTheSettingsFile(const QFileDevice &file)
{
#ifdef Q_OS_UNIX
    const QByteArray path = QFile::encodeName(file.fileName());
    struct stat info = {};
    if (::lstat(path.constData(), &info) == 0) {
        if (!S_ISREG(info.st_mode))
            return false;
    } else if (errno != ENOENT) {
        return false;
    }
#ifdef Q_OS_LINUX
    // Where the descriptor really is: the link's target may have been swapped in and
    // out again since QSaveFile looked.
    const int fd = file.handle();
    if (fd < 0)
        return false;
    const QString written = QFile::symLinkTarget(QStringLiteral("/proc/self/fd/") + QString::number(fd));
    struct stat writtenDir = {};
    struct stat settingsDir = {};
    if (written.isEmpty()
        || ::stat(QFile::encodeName(QFileInfo(written).absolutePath()).constData(), &writtenDir) != 0
        || ::stat(QFile::encodeName(QFileInfo(file.fileName()).absolutePath()).constData(), &settingsDir) != 0)
        return false;
    return writtenDir.st_dev == settingsDir.st_dev && writtenDir.st_ino == settingsDir.st_ino;
#else
    return true;
#endif
#else
    Q_UNUSED(file)
    return true;
#endif
}

} // namespace

namespace HlvSettingsFormat {

QByteArray key()
{
    return QByteArrayLiteral("Qrm$Tbx7w3kk9pa-zuLmorweD");
}

bool read(QIODevice &device, QSettings::SettingsMap &map)
{
    QByteArray cipherText;
    QDataStream fileStream(&device);
    fileStream >> cipherText;

    Blowfish cipher(key());
    cipher.setPaddingEnabled(true);
    const QByteArray clearText = cipher.decrypted(cipherText);

    QDataStream in(clearText);
    in >> map;
    return in.status() == QDataStream::Ok;
}

bool write(QIODevice &device, const QSettings::SettingsMap &map)
{
    if (auto *file = qobject_cast<QFileDevice *>(&device)) {
        if (!replacesOnlyTheSettingsFile(*file)) {
            logMessage(1, "HlvSettingsFormat::write",
                       QStringLiteral("Not written: the settings file is a link or not a plain file: ") + file->fileName());
            return false;
        }
        // The file holds the user's password: keep it to its owner, whatever the umask.
        // The device is the new file (by its descriptor), not what the path names.
        file->setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    }

    QByteArray clearText;
    {
        QDataStream out(&clearText, QIODevice::WriteOnly);
        out << map;
    }

    Blowfish cipher(key());
    cipher.setPaddingEnabled(true);

    QDataStream out(&device);
    out << cipher.encrypted(clearText);
    return out.status() == QDataStream::Ok;
}

} // namespace HlvSettingsFormat

HlvSettings::HlvSettings(QObject *parent)
    : QSettings(withHlvDefaultFormat(parent))
{
    QSettings::setDefaultFormat(g_hlvFormat);
}

QSettings::Format HlvSettings::format()
{
    return g_hlvFormat;
}

QList<HlvDomain *> HlvSettings::getDomains()
{
    const QJsonArray stored = QJsonArray::fromVariantList(value(QLatin1String(DomainsKey), QVariantList()).toList());
    QList<HlvDomain *> domains;
    for (const QJsonValue &element : stored)
        domains.append(HlvDomain::fromJson(element.toObject()));
    return domains;
}

void HlvSettings::setDomains(QList<HlvDomain *> domains)
{
    QJsonArray stored;
    for (const HlvDomain *domain : domains)
        stored.append(domain->toJson());
    setDomainsJson(stored);
}

void HlvSettings::setDomainsJson(const QJsonArray &domains)
{
    setValue(QLatin1String(DomainsKey), domains.toVariantList());
}

QVariant HlvSettings::domainsValue() const
{
    return value(QLatin1String(DomainsKey));
}

void HlvSettings::clearDomains()
{
    setValue(QLatin1String(DomainsKey), QVariantList());
}

int HlvSettings::getLastDomainIdOpened()
{
    return value(QLatin1String(LastDomainIdOpenedKey), -1).toInt();
}

void HlvSettings::setLastDomainIdOpened(int domainId)
{
    setValue(QLatin1String(LastDomainIdOpenedKey), domainId);
}

void HlvSettings::clearLastDomainIdOpened()
{
    setLastDomainIdOpened(-1);
}

QJsonArray HlvSettings::virtualSerialPortRecords()
{
    return QJsonArray::fromVariantList(value(QLatin1String(VirtualSerialPortsKey), QVariantList()).toList());
}

void HlvSettings::setVirtualSerialPortRecords(const QJsonArray &records)
{
    setValue(QLatin1String(VirtualSerialPortsKey), records.toVariantList());
}

void HlvSettings::clearVirtualSerialPorts()
{
    setValue(QLatin1String(VirtualSerialPortsKey), QVariantList());
}

QString HlvSettings::username()
{
    return value(inGroup(AuthGroup, UsernameKey), QString()).toString();
}

QString HlvSettings::password()
{
    return value(inGroup(AuthGroup, PasswordKey), QString()).toString();
}

QString HlvSettings::lastUsername()
{
    return value(inGroup(AuthGroup, LastUsernameKey), QString()).toString();
}

void HlvSettings::setCredentials(const QString &username, const QString &password)
{
    setValue(inGroup(AuthGroup, UsernameKey), username);
    setValue(inGroup(AuthGroup, PasswordKey), password);
}

void HlvSettings::setLastUsername(const QString &username)
{
    setValue(inGroup(AuthGroup, LastUsernameKey), username);
}

QString HlvSettings::language(const QString &fallback)
{
    return value(inGroup(HlvGroup, LanguageKey), fallback).toString();
}

void HlvSettings::setLanguage(const QString &language)
{
    setValue(inGroup(HlvGroup, LanguageKey), language);
}

bool HlvSettings::tourIsNeeded(int tour)
{
    return value(inGroup(HlvGroup, QString::fromLatin1(TourKeyPattern).arg(tour)), true).toBool();
}

void HlvSettings::setTourNotNeeded(int tour)
{
    setValue(inGroup(HlvGroup, QString::fromLatin1(TourKeyPattern).arg(tour)), false);
}

int HlvSettings::lastDeviceId()
{
    return value(inGroup(VpnGroup, LastDeviceIdKey), -1).toInt();
}

void HlvSettings::setLastDeviceId(int deviceId)
{
    setValue(inGroup(VpnGroup, LastDeviceIdKey), deviceId);
}

QSize HlvSettings::windowSize(const QSize &fallback)
{
    return value(inGroup(WindowGroup, SizeKey), fallback).toSize();
}

QPoint HlvSettings::windowPosition(const QPoint &fallback)
{
    return value(inGroup(WindowGroup, PosKey), fallback).toPoint();
}

void HlvSettings::setWindowGeometry(const QSize &size, const QPoint &position)
{
    setValue(inGroup(WindowGroup, SizeKey), size);
    setValue(inGroup(WindowGroup, PosKey), position);
}
