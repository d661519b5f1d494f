#pragma once

#include <QJsonArray>
#include <QList>
#include <QPoint>
#include <QSettings>
#include <QSize>
#include <QString>

class HlvDomain;
class QJsonArray;

// The application's settings: a QSettings on the encrypted "hlv" format. Open one
// for each access and let it go at the end of it; the change reaches the disk when
// the object is destroyed. Every stored key has its typed accessors here, and the keys
// themselves live in one table in hlvsettings.cpp.
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

    // The devices the user starred, in the order starred, and the last few the user
    // connected to or opened, newest first. Like the last domain opened they belong to
    // the user who signed in last and go when another one signs in.
    static constexpr int RecentDevicesKept = 5;
    QList<int> favouriteDeviceIds();
    void setFavouriteDevice(int deviceId, bool favourite);
    QList<int> recentDeviceIds();
    void addRecentDevice(int deviceId);
    void clearFavouriteAndRecentDevices();

    // "auth": the signed-in user's credentials (empty after a sign-out) and the last user
    // who signed in.
    QString username();
    QString password();
    QString lastUsername();
    void setCredentials(const QString &username, const QString &password);
    void setLastUsername(const QString &username);

    // "hlv": the page's language and its guided tours (1 to 4) still to show.
    QString language(const QString &fallback);
    void setLanguage(const QString &language);
    bool tourIsNeeded(int tour);
    void setTourNotNeeded(int tour);

    // "vpn": the device of the last tunnel that came up, -1 for none; whether the tunnel
    // that was up before the machine slept comes back after it (on unless turned off).
    int lastDeviceId();
    void setLastDeviceId(int deviceId);
    bool reconnectAfterSleep();
    void setReconnectAfterSleep(bool reconnect);

    // "window": the main window's size and position at its last close.
    QSize windowSize(const QSize &fallback);
    QPoint windowPosition(const QPoint &fallback);
    void setWindowGeometry(const QSize &size, const QPoint &position);

    // The virtual serial ports' records, in stored order (the serial layer turns them
    // into ports: see serial/storedports.h).
    QJsonArray virtualSerialPortRecords();
    void setVirtualSerialPortRecords(const QJsonArray &records);
    void clearVirtualSerialPorts();
};

// The two functions registered with the format, public so that tests can check the
// file layout byte for byte.
namespace HlvSettingsFormat {
QByteArray key();
bool read(QIODevice &device, QSettings::SettingsMap &map);
bool write(QIODevice &device, const QSettings::SettingsMap &map);
// The file's bytes around a map's encoding: the encoding encrypted, as a byte array.
QByteArray fileFor(const QByteArray &clearText);
} // namespace HlvSettingsFormat
