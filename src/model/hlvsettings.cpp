#include "model/hlvsettings.h"

#include <QDataStream>
#include <QFile>
#include <QFileDevice>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonObject>
#include <QPoint>
#include <QSize>
#include <QStringList>
#include <QVariantList>
#include <QVariantMap>

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

// Set once, by the first settings object: later ones (the domain list's writer opens
// its own on another thread) only read it.
QObject *withHlvDefaultFormat(QObject *parent)
{
    if (QSettings::defaultFormat() != g_hlvFormat)
        QSettings::setDefaultFormat(g_hlvFormat);
    return parent;
}

// Every key the application stores, with its group.
const char DomainsKey[] = "domains";
const char LastDomainIdOpenedKey[] = "last_domain_id_opened";
const char FavouriteDevicesKey[] = "favourite_devices";
const char RecentDevicesKey[] = "recent_devices";
const char VirtualSerialPortsKey[] = "virtual_serial_ports";
const char AuthGroup[] = "auth";
const char UsernameKey[] = "username";
const char PasswordKey[] = "password";
const char LastUsernameKey[] = "last_username";
const char HlvGroup[] = "hlv";
const char ReconnectAfterSleepKey[] = "reconnect_after_sleep";
const char LanguageKey[] = "language";
const char TourKeyPattern[] = "tour%1";
const char VpnGroup[] = "vpn";
const char LastDeviceIdKey[] = "last_device_id";
const char WindowGroup[] = "window";
const char SizeKey[] = "size";
const char PosKey[] = "pos";

// Ids as the store keeps them: a list of numbers; anything else in it is dropped.
QList<int> idsFromValue(const QVariant &value)
{
    QList<int> ids;
    const QVariantList list = value.toList();
    for (const QVariant &item : list) {
        bool ok = false;
        const int id = item.toInt(&ok);
        if (ok && !ids.contains(id))
            ids.append(id);
    }
    return ids;
}

QVariantList valueFromIds(const QList<int> &ids)
{
    QVariantList list;
    for (int id : ids)
        list.append(id);
    return list;
}

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

// The settings file is read back only in the value types the application stores. Qt's
// own reader takes any type a file names, and some of its readers trust the lengths in
// the file (a QBitArray with a forged length writes past its buffer): a file planted or
// damaged must not reach them.
constexpr int MaxDepth = 16;
constexpr quint32 MaxEntries = 1u << 20;

bool readValue(QDataStream &in, QVariant *value, int depth);

bool readCount(QDataStream &in, quint32 *count)
{
    in >> *count;
    // 0xfffffffe announces a 64-bit count; nothing we store is that long.
    return in.status() == QDataStream::Ok && *count <= MaxEntries;
}

template<typename T>
bool readPlain(QDataStream &in, QVariant *value)
{
    T plain;
    in >> plain;
    *value = QVariant::fromValue(plain);
    return in.status() == QDataStream::Ok;
}

bool readList(QDataStream &in, QVariant *value, int depth)
{
    quint32 count = 0;
    if (!readCount(in, &count))
        return false;
    QVariantList list;
    for (quint32 i = 0; i < count; ++i) {
        QVariant element;
        if (!readValue(in, &element, depth + 1))
            return false;
        list.append(element);
    }
    *value = list;
    return true;
}

bool readMap(QDataStream &in, QVariantMap *map, int depth)
{
    quint32 count = 0;
    if (!readCount(in, &count))
        return false;
    for (quint32 i = 0; i < count; ++i) {
        QString key;
        in >> key;
        QVariant element;
        if (in.status() != QDataStream::Ok || !readValue(in, &element, depth + 1))
            return false;
        map->insert(key, element);
    }
    return true;
}

// One QVariant as QDataStream writes it: the type's id, the null flag, the value.
bool readValue(QDataStream &in, QVariant *value, int depth)
{
    if (depth > MaxDepth)
        return false;
    quint32 type = 0;
    qint8 isNull = 0;
    in >> type >> isNull;
    if (in.status() != QDataStream::Ok)
        return false;
    switch (type) {
    case QMetaType::UnknownType:
        *value = QVariant();
        return true;
    case QMetaType::Nullptr:  // a JSON null of the cloud's, kept in a stored list
        *value = QVariant::fromValue(nullptr);
        return true;
    case QMetaType::Bool:
        return readPlain<bool>(in, value);
    case QMetaType::Int:
        return readPlain<qint32>(in, value);
    case QMetaType::UInt:
        return readPlain<quint32>(in, value);
    case QMetaType::LongLong:
        return readPlain<qint64>(in, value);
    case QMetaType::ULongLong:
        return readPlain<quint64>(in, value);
    case QMetaType::Double:
        return readPlain<double>(in, value);
    case QMetaType::QString:
        return readPlain<QString>(in, value);
    case QMetaType::QByteArray:
        return readPlain<QByteArray>(in, value);
    case QMetaType::QSize:
        return readPlain<QSize>(in, value);
    case QMetaType::QPoint:
        return readPlain<QPoint>(in, value);
    case QMetaType::QStringList: {
        quint32 count = 0;
        if (!readCount(in, &count))
            return false;
        QStringList list;
        for (quint32 i = 0; i < count && in.status() == QDataStream::Ok; ++i) {
            QString text;
            in >> text;
            list.append(text);
        }
        *value = list;
        return in.status() == QDataStream::Ok;
    }
    case QMetaType::QVariantList:
        return readList(in, value, depth);
    case QMetaType::QVariantMap: {
        QVariantMap map;
        if (!readMap(in, &map, depth))
            return false;
        *value = map;
        return true;
    }
    default:
        return false;
    }
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
    QVariantMap read;
    if (!readMap(in, &read, 0))
        return false;
    map = read;
    return true;
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

    const QByteArray file = fileFor(clearText);
    return device.write(file) == file.size();
}

QByteArray fileFor(const QByteArray &clearText)
{
    Blowfish cipher(key());
    cipher.setPaddingEnabled(true);
    QByteArray file;
    QDataStream out(&file, QIODevice::WriteOnly);
    out << cipher.encrypted(clearText);
    return file;
}

} // namespace HlvSettingsFormat

HlvSettings::HlvSettings(QObject *parent)
    : QSettings(withHlvDefaultFormat(parent))
{
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

QList<int> HlvSettings::favouriteDeviceIds()
{
    return idsFromValue(value(QLatin1String(FavouriteDevicesKey)));
}

void HlvSettings::setFavouriteDevice(int deviceId, bool favourite)
{
    QList<int> ids = favouriteDeviceIds();
    if (ids.contains(deviceId) == favourite)
        return;
    if (favourite)
        ids.append(deviceId);
    else
        ids.removeAll(deviceId);
    setValue(QLatin1String(FavouriteDevicesKey), valueFromIds(ids));
}

QList<int> HlvSettings::recentDeviceIds()
{
    return idsFromValue(value(QLatin1String(RecentDevicesKey))).mid(0, RecentDevicesKept);
}

void HlvSettings::addRecentDevice(int deviceId)
{
    QList<int> ids = recentDeviceIds();
    ids.removeAll(deviceId);
    ids.prepend(deviceId);
    setValue(QLatin1String(RecentDevicesKey), valueFromIds(ids.mid(0, RecentDevicesKept)));
}

void HlvSettings::clearFavouriteAndRecentDevices()
{
    setValue(QLatin1String(FavouriteDevicesKey), QVariantList());
    setValue(QLatin1String(RecentDevicesKey), QVariantList());
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

bool HlvSettings::reconnectAfterSleep()
{
    return value(inGroup(VpnGroup, QLatin1String(ReconnectAfterSleepKey)), true).toBool();
}

void HlvSettings::setReconnectAfterSleep(bool reconnect)
{
    setValue(inGroup(VpnGroup, QLatin1String(ReconnectAfterSleepKey)), reconnect);
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
