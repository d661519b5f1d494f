#pragma once

#include <QList>
#include <QSettings>

class HlvDomain;

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
    void clearDomains();

    int getLastDomainIdOpened();
    void setLastDomainIdOpened(int domainId);
    void clearLastDomainIdOpened();

    void clearVirtualSerialPorts();
};

// The two functions registered with the format, public so that tests can check the
// file layout byte for byte.
namespace HlvSettingsFormat {
QByteArray key();
bool read(QIODevice &device, QSettings::SettingsMap &map);
bool write(QIODevice &device, const QSettings::SettingsMap &map);
} // namespace HlvSettingsFormat
