#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QString>

#include "cloud/api.h"
#include "cloud/auth.h"
#include "model/domainlist.h"
#include "serial/virtualserialportsmanager.h"
#include "vpn/videru.h"

class HlvDevice;
class HlvDomain;
class QTimer;

// The one object the page sees, published on the web channel as "HLV". Slots are
// the page's calls into the application, signals the events it listens to; the
// collaborators are reached through the object-valued properties.
class Hlv : public QObject
{
    Q_OBJECT
    Q_PROPERTY(Api *api MEMBER m_api)
    Q_PROPERTY(QString language MEMBER m_language)
    Q_PROPERTY(VirtualSerialPortsManager *virtualSerialPortsManager MEMBER m_virtualSerialPortsManager)
    Q_PROPERTY(Auth *auth MEMBER m_auth)
    Q_PROPERTY(VidEru *vpn MEMBER m_vpn)

public:
    // The tunnel start the bridge owes to lastDeviceId: none; one whose profile the
    // controller has and that waits for the old tunnel's end (the controller's next
    // onDisconnected()); or the start-up reconnection to the last used device, which
    // waits for the first domain list of the run. A start the user asks for replaces
    // the start-up one.
    enum class PendingStart {
        None,
        AfterDisconnect,
        AfterDomainsLoaded,
    };

    explicit Hlv(QObject *parent = nullptr);
    ~Hlv() override;

    HlvDevice *findDevice(int id) const;
    HlvDomain *findDomainOfDevice(int id) const;
    // Called after m_exit() when the bridge's window has closed for good (see the .cpp).
    void retire();

    // The collaborators and the state the page's calls act on, for the window and for
    // tests; the page reaches the collaborators through the properties.
    Api *api() const { return m_api; }
    Auth *auth() const { return m_auth; }
    VidEru *vpn() const { return m_vpn; }
    VirtualSerialPortsManager *virtualSerialPortsManager() const { return m_virtualSerialPortsManager; }
    const DomainList &domainList() const { return m_domains; }
    const QTimer *reloadDomainsTimer() const { return m_reloadDomainsTimer; }
    bool reloadingDomains() const { return m_reloadingDomains; }
    int lastDeviceId() const { return m_lastDeviceId; }
    PendingStart pendingStart() const { return m_pendingStart; }

    // Test hooks: state that only a sign-in, a stored setting or a cloud reply would
    // bring about otherwise. The product never calls them.
    void setLastDeviceIdForTest(int id) { m_lastDeviceId = id; }
    void setPendingStartForTest(PendingStart start) { m_pendingStart = start; }

signals:
    // The first domain list after sign-in arrived and is in getDomainsJson().
    void onLoadDomainsSuccess();
    void onLoadDomainsError();
    // A periodic refresh of the domain list finished.
    void onReloadDomainsSuccess();
    void onReloadDomainsError();
    // startVpnDevice() was refused: nobody is signed in.
    void onVpnStartNotAuthenticated();
    // startVpnDevice() was refused: the device's domain has no VPN or the device is offline.
    void onVpnStartInvalidDomain();
    // The domain's VPN configuration could not be fetched or used.
    void onVpnStartGetConfigError();
    // The application is about to end at once.
    void onKill();

public slots:
    // The files of the resource directory pages/<page_name>, concatenated; scripts
    // come wrapped in a script element.
    QString getAllPageFiles(QString page_name);
    void setLanguage(QString language);
    QJsonArray getDomainsJson();
    // {"revision": r, "domains": [...]} as JSON text: the domains (in list order) that
    // changed after the list of the given revision, all of them for -1. The page keeps r
    // for its next call, so that a reload which changed nothing sends nothing. Text,
    // because the channel takes a JSON array or object apart value by value (about a
    // tenth of a second for thousands of devices), while a string crosses as it is.
    QString getDomainsJsonChangedSince(int revision);
    QJsonArray getDeviceByIdJson(int device_id);
    void loadDomains();
    void reloadDomains();
    void startReloadDomainsTimer();
    void stopReloadDomainsTimer();
    void startVpnDevice(int id);
    void startVpnLastDevice(bool emitConnectingSignal);
    void stopVpn();
    QJsonObject getVpnStatsJson();
    bool create(int type, int deviceId);
    bool destroyVirtualSerialPort(int deviceId, int type);
    QJsonArray getVirtualSerialPortsByDeviceIdJson(int device_id);
    // Every virtual port of the user as {"deviceId", "type", "serialName"}, for the
    // device search.
    QJsonArray getVirtualSerialPortNamesJson();
    // Per port of the device: bytes each way ("toNetwork", "fromNetwork"), the relay's
    // "state" and "relayUp", and the "monitor" and "trace" switches.
    QJsonArray getVirtualSerialPortsStatusJson(int device_id);
    // The monitor of a port keeps its last few hundred tapped records while on.
    bool setVirtualSerialPortMonitor(int deviceId, int type, bool on);
    // {"next", "dropped", "records": [{"seq", "time", "dir", "hex", "text"}]}: the
    // records after sequence number since; ask again with "next".
    QJsonObject getVirtualSerialPortMonitorJson(int deviceId, int type, double since);
    // The trace writes the tapped bytes of a port to an owner-only file.
    bool setVirtualSerialPortTrace(int deviceId, int type, bool on);
    int getLastDomainIdOpened();
    void setLastDomainIdOpened(int domainId);
    // The user's starred devices (ids, in the order starred) and the last devices the
    // user connected to or opened (newest first); each change answers the new list.
    QJsonArray getFavouriteDevices();
    QJsonArray setFavouriteDevice(int deviceId, bool favourite);
    QJsonArray getRecentDevices();
    QJsonArray addRecentDevice(int deviceId);
    // Whether the tunnel that was up when the machine went to sleep comes back on resume.
    bool getReconnectAfterSleep();
    void setReconnectAfterSleep(bool reconnect);
    // Opens the device's own web page in the desktop browser.
    void openDeviceWebUI(int device_id);
    // Opens the account site's password-recovery page in the desktop browser.
    void forgotPassword();
    void logout();
    void m_exit();
    QString getApplicationVersion();
    QString getApplicationName();
    bool tour1IsNeeded();
    bool tour2IsNeeded();
    bool tour3IsNeeded();
    bool tour4IsNeeded();
    void tour1IsNotNeeded();
    void tour2IsNotNeeded();
    void tour3IsNotNeeded();
    void tour4IsNotNeeded();
    // The rights a tunnel needs: root, or corrivo2-helper serving this user. Without
    // them the page asks for the administrator password to relaunch through sudo, when
    // sudo is there to do it.
    bool canObtainRootPermissions();
    bool checkRootPermissions();
    bool checkRootPermissionsWithPassword(QString password);
    void restartAsRoot(QString password);
    // Why the rights are missing, for the page to show; empty when they are present.
    QString rightsProblem();
    // Ends the application at once, without the exit steps of a closing window.
    void kill();
    // Writes the page's text to the debug output.
    void debug(QString message);

private slots:
    void loadDomainsSuccess(int status, QString data);
    void loadDomainsError(int status, QString data);
    void getVpnDomainConfigSuccess(int status, QString data);
    void getVpnDomainConfigError(int status, QString data);
    void onVpnConnected(int device_id);
    void onVpnDisconnected();
    void onGetApiKeySuccess();

private:
    void emitDomainsError();
    void cancelStartAfterDisconnect();
    void unhookPortsManager();
    bool tourIsNeeded(int tour);
    void tourIsNotNeeded(int tour);

    Api *m_api = nullptr;
    Auth *m_auth = nullptr;
    VidEru *m_vpn = nullptr;
    QString m_language;
    VirtualSerialPortsManager *m_virtualSerialPortsManager = nullptr;
    DomainList m_domains;
    QTimer *m_reloadDomainsTimer = nullptr;
    bool m_reloadingDomains = false;
    int m_lastDeviceId = -1;
    PendingStart m_pendingStart = PendingStart::None;
};
