#pragma once

#include <QJsonArray>
#include <QList>
#include <QSettings>

class HlvDomain;
class VirtualSerialPort;

// The application's settings: a QSettings on the encrypted "hlv" format. Open one
// for each access and let it go at the end of it; the change reaches the disk when
// the object is destroyed.
class HlvSettings : public QSettings
{
    Q_OBJECT

public:
    explicit HlvSettings(QObject *parent = nullptr);

    // The format registered once per process before main runs.
    static QSettings::Format format();

    // New domain objects with their devices, owned by the caller.
    QList<HlvDomain *> getDomains();
    // Stores the list; the objects stay with the caller.
    void setDomains(QList<HlvDomain *> domains);
    // The same from the list's JSON form (the domains' toJson() in order), for a caller
    // that holds it already; the stored value as it is now, to tell whether it changed.
    void setDomainsJson(const QJsonArray &domains);
    QVariant domainsValue() const;
    void clearDomains();

    int getLastDomainIdOpened();
    void setLastDomainIdOpened(int domainId);
    void clearLastDomainIdOpened();

    // New port objects in stored order; the caller owns them.
    QList<VirtualSerialPort *> getVirtualSerialPorts();
    void setVirtualSerialPorts(QList<VirtualSerialPort *> ports);
    void clearVirtualSerialPorts();
};

// The two functions registered with the format, public so that tests can check the
// file layout byte for byte.
namespace HlvSettingsFormat {
QByteArray key();
bool read(QIODevice &device, QSettings::SettingsMap &map);
bool write(QIODevice &device, const QSettings::SettingsMap &map);
} // namespace HlvSettingsFormat
