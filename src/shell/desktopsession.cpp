#include "shell/desktopsession.h"

#include <QAction>
#include <QApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QFileInfo>
#include <QJsonObject>
#include <QMenu>
#include <QPainter>
#include <QPainterPath>
#include <QSystemTrayIcon>

#include <ctime>

#include "base/logging.h"
#include "bridge/hlv.h"
#include "cloud/auth.h"
#include "model/hlvdevice.h"
#include "model/hlvsettings.h"
#include "shell/mainwindow.h"
#include "shell/statusnotifieritem.h"
#include "vpn/videru.h"

namespace {

const char NotificationsService[] = "org.freedesktop.Notifications";
const char NotificationsPath[] = "/org/freedesktop/Notifications";
const char LogindService[] = "org.freedesktop.login1";
const char LogindPath[] = "/org/freedesktop/login1";
const char LogindManager[] = "org.freedesktop.login1.Manager";
const char TrayWatcherService[] = "org.kde.StatusNotifierWatcher";

constexpr int StatsIntervalMs = 3000;
constexpr int ClockIntervalMs = 5000;
// A gap between the boot clock and the monotonic clock that grew by more than this
// was a sleep the session did not hear of.
constexpr qint64 SleepGapMs = 10000;
// After resume the network may take a while: the start is tried again, this often.
constexpr int ResumeRetryMs = 2000;
constexpr int ResumeTries = 30;

// The page's colours for down, on the way and up.
QColor stateColor(TunnelNotices::State state)
{
    switch (state) {
    case TunnelNotices::State::Up:
        return QColor(0x56, 0xF2, 0x48);
    case TunnelNotices::State::Connecting:
    case TunnelNotices::State::Reconnecting:
        return QColor(0xFF, 0x9C, 0x30);
    case TunnelNotices::State::Down:
        break;
    }
    return QColor(0xFF, 0x01, 0x2E);
}

// The page's shield in the state's colour.
QIcon stateIcon(TunnelNotices::State state)
{
    QIcon icon;
    for (int size : {16, 22, 24, 32, 48, 64}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.scale(size / 73.5, size / 73.5);
        QPainterPath shield;
        shield.moveTo(36.75, 3);
        shield.lineTo(65, 13);
        shield.lineTo(65, 34);
        shield.cubicTo(65, 52, 53, 64, 36.75, 70.5);
        shield.cubicTo(20.5, 64, 8.5, 52, 8.5, 34);
        shield.lineTo(8.5, 13);
        shield.closeSubpath();
        painter.fillPath(shield, stateColor(state));
        painter.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

QString bytesText(qint64 bytes)
{
    const char *units[] = {"B", "kB", "MB", "GB"};
    double value = double(bytes);
    int unit = 0;
    while (unit < 3 && value >= 1024) {
        value /= 1024;
        ++unit;
    }
    return QString::number(value, 'f', unit == 0 ? 0 : 1) + QLatin1Char(' ') + QLatin1String(units[unit]);
}

// A session bus that is there: its address is known, or the user's runtime directory
// has one. Asking Qt for the session bus otherwise may start one (X11 autolaunch),
// which would outlive us.
bool hasSessionBus()
{
    if (qEnvironmentVariableIsSet("DBUS_SESSION_BUS_ADDRESS"))
        return true;
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    return !runtime.isEmpty() && QFileInfo(runtime + QStringLiteral("/bus")).exists();
}

qint64 clockMs(clockid_t clock)
{
    timespec now = {};
    ::clock_gettime(clock, &now);
    return qint64(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

} // namespace

DesktopSession::DesktopSession(QObject *parent)
    : QObject(parent)
{
    m_menu = new QMenu();
    QAction *show = m_menu->addAction(tr("Show Corrivo 2"));
    connect(show, &QAction::triggered, this, &DesktopSession::raiseWindow);
    m_disconnect = m_menu->addAction(tr("Disconnect"));
    connect(m_disconnect, &QAction::triggered, this, [this] {
        if (Hlv *hlv = bridge())
            hlv->stopVpn();
    });
    m_menu->addSeparator();
    QAction *quit = m_menu->addAction(tr("Quit"));
    connect(quit, &QAction::triggered, this, [this] {
        // The window's close runs the exit steps (tunnel, ports) and ends the loop.
        if (m_window)
            m_window->close();
    });

    connect(&m_tunnel, &TunnelNotices::stateChanged, this, [this] {
        updateTray();
        updateInhibitor();
    });
    connect(&m_tunnel, &TunnelNotices::notice, this, &DesktopSession::notify);
    m_statsTimer.setInterval(StatsIntervalMs);
    connect(&m_statsTimer, &QTimer::timeout, this, &DesktopSession::updateTray);
    m_statsTimer.start();

    createTrayIcon();
    // A panel that starts after the application: Qt docks the icon into a tray that
    // appears later by itself; a notifier watcher that appears later gets it anew.
    m_sessionBus = hasSessionBus();
    if (m_sessionBus) {
        QDBusConnection bus = QDBusConnection::sessionBus();
        m_watcherAtStart = bus.interface() && bus.interface()->isServiceRegistered(QLatin1String(TrayWatcherService));
        m_trayWatcher = new QDBusServiceWatcher(QLatin1String(TrayWatcherService), bus,
                                                QDBusServiceWatcher::WatchForRegistration, this);
        connect(m_trayWatcher, &QDBusServiceWatcher::serviceRegistered, this, &DesktopSession::trayWatcherAppeared);
    }

    // Sleep and resume.
    QDBusConnection system = QDBusConnection::systemBus();
    m_logind = system.isConnected()
        && system.connect(QLatin1String(LogindService), QLatin1String(LogindPath), QLatin1String(LogindManager),
                          QStringLiteral("PrepareForSleep"), this, SLOT(prepareForSleep(bool)));
    logMessage(4, "DesktopSession::DesktopSession",
               m_logind ? QStringLiteral("Following logind's sleep") : QStringLiteral("No logind: following the clocks"));
    m_resumeTimer.setSingleShot(true);
    m_resumeTimer.setInterval(ResumeRetryMs);
    connect(&m_resumeTimer, &QTimer::timeout, this, &DesktopSession::tryResume);
    m_clockTimer.setInterval(ClockIntervalMs);
    connect(&m_clockTimer, &QTimer::timeout, this, &DesktopSession::checkClocks);
    m_clockTimer.start();
    checkClocks();
}

DesktopSession::~DesktopSession()
{
    delete m_tray;
    delete m_menu;
}

Hlv *DesktopSession::bridge() const
{
    return m_window ? m_window->bridge() : nullptr;
}

void DesktopSession::setMainWindow(MainWindow *window)
{
    m_window = window;
    Hlv *hlv = window ? window->bridge() : nullptr;
    QPointer<Hlv> guarded(hlv);
    m_tunnel.bind(hlv ? hlv->vpn() : nullptr, hlv ? hlv->auth() : nullptr, [guarded](int id) {
        const HlvDevice *device = guarded ? guarded->findDevice(id) : nullptr;
        return device ? device->name : QString();
    });
    updateTray();
}

void DesktopSession::raiseWindow()
{
    if (!m_window)
        return;
    m_window->showNormal();
    m_window->raise();
    m_window->activateWindow();
    logMessage(4, "DesktopSession::raiseWindow", QStringLiteral("Window raised"));
}

// A watcher that was there at the start serves Qt's own icon (which registers again by
// itself); one that comes later gets our item, and the X11 icon goes.
void DesktopSession::trayWatcherAppeared()
{
    if (m_watcherAtStart)
        return;
    if (!m_item) {
        m_item = new StatusNotifierItem(m_menu, this);
        connect(m_item, &StatusNotifierItem::activated, this, &DesktopSession::raiseWindow);
        m_tray->hide();
        m_tray->setProperty("corrivoState", QVariant());
    }
    m_item->registerItem();
    updateTray();
}

void DesktopSession::createTrayIcon()
{
    delete m_tray;
    m_tray = new QSystemTrayIcon(this);
    m_tray->setContextMenu(m_menu);
    connect(m_tray, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick)
            raiseWindow();
    });
    updateTray();
    m_tray->show();
}

void DesktopSession::updateTray()
{
    if (!m_tray)
        return;
    const TunnelNotices::State state = m_tunnel.state();
    QString text;
    switch (state) {
    case TunnelNotices::State::Down:
        text = tr("Not connected");
        break;
    case TunnelNotices::State::Connecting:
        text = tr("Connecting to %1…").arg(m_tunnel.deviceName());
        break;
    case TunnelNotices::State::Reconnecting:
        text = tr("Reconnecting to %1…").arg(m_tunnel.deviceName());
        break;
    case TunnelNotices::State::Up:
        text = tr("Connected to %1").arg(m_tunnel.deviceName());
        if (Hlv *hlv = bridge()) {
            const QJsonObject stats = hlv->getVpnStatsJson();
            text += QStringLiteral("\n↑ %1  ↓ %2").arg(bytesText(stats.value(QStringLiteral("bytesOut")).toInteger()),
                                                      bytesText(stats.value(QStringLiteral("bytesIn")).toInteger()));
        }
        break;
    }
    const QString tip = QStringLiteral("Corrivo 2\n") + text;
    const QVariant shown = m_tray->property("corrivoState");
    const bool newState = !shown.isValid() || shown.toInt() != int(state);
    if (m_item) {
        if (m_item->toolTip().text != text)
            m_item->setToolTip(QStringLiteral("Corrivo 2"), text);
        if (newState)
            m_item->setIcon(stateIcon(state));
    } else {
        if (m_tray->toolTip() != tip)
            m_tray->setToolTip(tip);
        if (newState)
            m_tray->setIcon(stateIcon(state));
    }
    m_tray->setProperty("corrivoState", int(state));
    m_disconnect->setEnabled(state != TunnelNotices::State::Down);
}

// One notification at a time: each replaces the one before (replaces_id), so that a
// flapping link leaves one, not a column. Without the service nothing happens.
void DesktopSession::notify(const QString &summary, const QString &body)
{
    if (!m_sessionBus)
        return;
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return;
    QDBusMessage call = QDBusMessage::createMethodCall(QLatin1String(NotificationsService),
                                                       QLatin1String(NotificationsPath),
                                                       QLatin1String(NotificationsService), QStringLiteral("Notify"));
    QVariantMap hints;
    hints.insert(QStringLiteral("desktop-entry"), QStringLiteral("corrivo2"));
    call << QStringLiteral("Corrivo 2") << m_notification << QStringLiteral("corrivo2") << summary << body
         << QStringList() << hints << -1;
    auto *watcher = new QDBusPendingCallWatcher(bus.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher *finished) {
        const QDBusPendingReply<quint32> reply = *finished;
        if (!reply.isError())
            m_notification = reply.value();
        finished->deleteLater();
    });
    logMessage(4, "DesktopSession::notify", summary + QStringLiteral(": ") + body);
}

// A delay inhibitor while there is a tunnel to close before sleep.
void DesktopSession::updateInhibitor()
{
    if (!m_logind)
        return;
    const bool wanted = m_tunnel.state() != TunnelNotices::State::Down;
    if (!wanted) {
        m_inhibitor = QDBusUnixFileDescriptor();
        return;
    }
    if (m_inhibitor.isValid() || m_inhibiting)
        return;
    m_inhibiting = true;
    logMessage(4, "DesktopSession::updateInhibitor", QStringLiteral("Asking for a delay inhibitor"));
    QDBusMessage call = QDBusMessage::createMethodCall(QLatin1String(LogindService), QLatin1String(LogindPath),
                                                       QLatin1String(LogindManager), QStringLiteral("Inhibit"));
    call << QStringLiteral("sleep") << QStringLiteral("Corrivo 2")
         << tr("Closing the VPN tunnel and the serial ports") << QStringLiteral("delay");
    auto *watcher = new QDBusPendingCallWatcher(QDBusConnection::systemBus().asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher *finished) {
        const QDBusPendingReply<QDBusUnixFileDescriptor> reply = *finished;
        finished->deleteLater();
        m_inhibiting = false;
        if (reply.isError())
            logMessage(2, "DesktopSession::updateInhibitor", QStringLiteral("No inhibitor: ") + reply.error().message());
        // Taken only while still wanted: the tunnel may have gone meanwhile.
        if (!reply.isError() && m_tunnel.state() != TunnelNotices::State::Down)
            m_inhibitor = reply.value();
    });
}

void DesktopSession::prepareForSleep(bool sleeping)
{
    if (!sleeping) {
        m_sinceLogindResume.start();
        m_clockGap = clockMs(CLOCK_BOOTTIME) - clockMs(CLOCK_MONOTONIC);
        resume();
        return;
    }
    m_resumeTimer.stop();
    const bool up = m_tunnel.state() != TunnelNotices::State::Down;
    Hlv *hlv = bridge();
    m_resumeDevice = up && hlv && HlvSettings().reconnectAfterSleep() ? m_tunnel.deviceId() : -1;
    logMessage(4, "DesktopSession::prepareForSleep", QStringLiteral("Going to sleep"));
    // The stop is asked for and not waited for: a hung daemon must not hold the
    // machine awake. The relays end with the tunnel (the ports follow it).
    if (up && hlv)
        hlv->stopVpn();
    m_inhibitor = QDBusUnixFileDescriptor();
}

void DesktopSession::resume()
{
    logMessage(4, "DesktopSession::resume", QStringLiteral("Resumed"));
    m_resumeTries = 0;
    if (m_resumeDevice >= 0)
        tryResume();
    updateInhibitor();
}

// Until the network is back, the cloud does not answer and the start fails: it is tried
// again a while.
void DesktopSession::tryResume()
{
    Hlv *hlv = bridge();
    if (!hlv || m_resumeDevice < 0)
        return;
    // A tunnel up that was not asked to stop is the one brought back.
    if (m_tunnel.state() == TunnelNotices::State::Up && !m_tunnel.stopPending()) {
        m_resumeDevice = -1;
        return;
    }
    if (++m_resumeTries > ResumeTries) {
        m_resumeDevice = -1;
        return;
    }
    // The stop asked for before sleep may end only now (the daemon slept too): the
    // start waits for it.
    if (m_tunnel.state() == TunnelNotices::State::Down)
        hlv->startVpnDevice(m_resumeDevice);
    m_resumeTimer.start();
}

// Machines without logind: a sleep shows as the boot clock running ahead of the
// monotonic clock. The tunnel that was up is stale by then and is started again.
void DesktopSession::checkClocks()
{
    const qint64 gap = clockMs(CLOCK_BOOTTIME) - clockMs(CLOCK_MONOTONIC);
    const qint64 previous = m_clockGap;
    m_clockGap = gap;
    if (previous < 0 || gap - previous < SleepGapMs)
        return;
    if (m_sinceLogindResume.isValid() && m_sinceLogindResume.elapsed() < 2 * ClockIntervalMs)
        return;  // logind told us already
    logMessage(4, "DesktopSession::checkClocks", QStringLiteral("The machine slept"));
    Hlv *hlv = bridge();
    const bool up = m_tunnel.state() != TunnelNotices::State::Down;
    m_resumeDevice = up && hlv && HlvSettings().reconnectAfterSleep() ? m_tunnel.deviceId() : -1;
    if (up && hlv)
        hlv->stopVpn();
    resume();
}
