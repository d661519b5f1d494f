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
#include "serial/virtualserialport.h"
#include "shell/logging.h"

namespace {

const QSettings::Format g_hlvFormat = QSettings::registerFormat(
    QStringLiteral("hlv"), HlvSettingsFormat::read, HlvSettingsFormat::write, Qt::CaseSensitive);

QObject *withHlvDefaultFormat(QObject *parent)
{
    QSettings::setDefaultFormat(g_hlvFormat);
    return parent;
}

const char DomainsKey[] = "domains";
const char LastDomainIdOpenedKey[] = "last_domain_id_opened";
const char VirtualSerialPortsKey[] = "virtual_serial_ports";

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

QList<VirtualSerialPort *> HlvSettings::getVirtualSerialPorts()
{
    const QJsonArray records =
        QJsonArray::fromVariantList(value(QLatin1String(VirtualSerialPortsKey), QVariantList()).toList());
    QList<VirtualSerialPort *> ports;
    for (const QJsonValue &record : records)
        ports.append(VirtualSerialPort::fromJson(record.toObject()));
    return ports;
}

void HlvSettings::setVirtualSerialPorts(QList<VirtualSerialPort *> ports)
{
    QJsonArray records;
    for (VirtualSerialPort *port : std::as_const(ports))
        records.append(port->toJson());
    setValue(QLatin1String(VirtualSerialPortsKey), records.toVariantList());
}

void HlvSettings::clearVirtualSerialPorts()
{
    setValue(QLatin1String(VirtualSerialPortsKey), QVariantList());
}
