#include "model/hlvsettings.h"

#include <QDataStream>
#include <QFileDevice>
#include <QJsonArray>
#include <QVariantList>

#include "model/blowfish.h"
#include "model/hlvdomain.h"

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
    // The file holds the user's password: keep it to its owner, whatever the umask.
    if (auto *file = qobject_cast<QFileDevice *>(&device))
        file->setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);

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
    setValue(QLatin1String(DomainsKey), stored.toVariantList());
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

void HlvSettings::clearVirtualSerialPorts()
{
    setValue(QLatin1String(VirtualSerialPortsKey), QVariantList());
}
