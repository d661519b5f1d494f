#pragma once

#include <QDBusUnixFileDescriptor>
#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include "shell/tunnelnotices.h"

class Hlv;
class MainWindow;
class QAction;
class QDBusServiceWatcher;
class QMenu;
class QSystemTrayIcon;
class StatusNotifierItem;

// The application in the desktop session: a tray icon that follows the tunnel, the
// freedesktop notifications of its changes, and sleep and resume through logind (with a
// jump of the boot clock against the monotonic clock for machines without it). It
// follows whichever main window the supervisor has in place. Every desktop service is
// optional: without one, its part does nothing and says nothing.
class DesktopSession : public QObject
{
    Q_OBJECT

public:
    explicit DesktopSession(QObject *parent = nullptr);
    ~DesktopSession() override;

    void setMainWindow(MainWindow *window);
    // Shows the window in front (a later start of the application asks for it).
    void raiseWindow();

private slots:
    void prepareForSleep(bool sleeping);
    void checkClocks();

private:
    void createTrayIcon();
    void trayWatcherAppeared();
    void updateTray();
    void updateInhibitor();
    void notify(const QString &summary, const QString &body);
    void resume();
    void tryResume();
    Hlv *bridge() const;

    QPointer<MainWindow> m_window;
    TunnelNotices m_tunnel;
    QSystemTrayIcon *m_tray = nullptr;
    QMenu *m_menu = nullptr;
    QAction *m_disconnect = nullptr;
    QDBusServiceWatcher *m_trayWatcher = nullptr;
    // Our own item for a notifier watcher that came after us (see statusnotifieritem.h).
    StatusNotifierItem *m_item = nullptr;
    bool m_watcherAtStart = false;
    QTimer m_statsTimer;
    quint32 m_notification = 0;
    bool m_sessionBus = false;

    // Sleep and resume.
    QDBusUnixFileDescriptor m_inhibitor;
    bool m_inhibiting = false;  // an Inhibit() call is on its way
    bool m_logind = false;
    int m_resumeDevice = -1;
    int m_resumeTries = 0;
    QTimer m_resumeTimer;
    QTimer m_clockTimer;
    qint64 m_clockGap = -1;
    QElapsedTimer m_sinceLogindResume;
};
