#pragma once

#include <QHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QString>
#include <QVariant>

#include "bridge/deviceindex.h"
#include "cloud/api.h"
#include "cloud/auth.h"
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
    Q_PROPERTY(Api *api MEMBER api)
    Q_PROPERTY(QString language MEMBER language)
    Q_PROPERTY(VirtualSerialPortsManager *virtualSerialPortsManager MEMBER virtualSerialPortsManager)
    Q_PROPERTY(Auth *auth MEMBER auth)
    Q_PROPERTY(VidEru *vpn MEMBER vpn)

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

    Api *api = nullptr;
    Auth *auth = nullptr;
    VidEru *vpn = nullptr;
    QString language;
    VirtualSerialPortsManager *virtualSerialPortsManager = nullptr;
    QList<HlvDomain *> domains;
    QTimer *reloadDomainsTimer = nullptr;
    bool reloadingDomains = false;
    int lastDeviceId = -1;
    PendingStart pendingStart = PendingStart::None;

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
    int getLastDomainIdOpened();
    void setLastDomainIdOpened(int domainId);
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
    // Merges a fresh list from the cloud into `domains`, keeping the objects (and
    // order) of domains and devices that survive; takes ownership of `fresh`.
    void mergeDomains(QList<HlvDomain *> fresh);
    // The page's JSON form of `domains`, kept from one merge to the next.
    QJsonArray domainsJson();
    // Gives the domains a new revision, for getDomainsJsonChangedSince().
    void markChanged(const QList<HlvDomain *> &changed);
    // Writes the list to the settings unless the stored entry holds it already.
    void storeDomains();
    bool tourIsNeeded(int tour);
    void tourIsNotNeeded(int tour);

    // What is derived from `domains` lives until a merge changes the list; records
    // change nowhere else. Each part remembers the list it was made for, so that a list
    // replaced or changed in place (which detaches it from the copy) is derived afresh.
    mutable DeviceIndex m_deviceIndex;
    // Index for index the domains' toJson(); a merge rebuilds only the changed ones.
    QJsonArray m_domainsJson;
    QList<HlvDomain *> m_domainsJsonFor;
    // The revision of the list, raised by every change, and of each domain (by id):
    // the one of the change that last touched it.
    int m_domainsRevision = 0;
    QHash<int, int> m_domainRevisions;
    // getDomainsJsonChangedSince(-1) of that revision (-1: none yet).
    QString m_allDomainsText;
    int m_allDomainsTextRevision = -1;
    // The last reply merged: the cloud mostly answers the same text 30 s later.
    QString m_mergedReply;
    QList<HlvDomain *> m_mergedReplyFor;
    // What was last written as "domains", while the list has not changed since.
    QVariant m_storedDomains;
    QList<HlvDomain *> m_storedDomainsFor;
};
