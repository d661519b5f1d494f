#pragma once

#include <QDBusAbstractAdaptor>
#include <QDBusArgument>
#include <QIcon>
#include <QList>
#include <QObject>
#include <QString>

class QMenu;

// One image of an icon as the StatusNotifierItem protocol carries it: ARGB32 in
// network byte order.
struct SniPixmap
{
    int width = 0;
    int height = 0;
    QByteArray bytes;
};
using SniPixmaps = QList<SniPixmap>;

struct SniToolTip
{
    QString iconName;
    SniPixmaps icon;
    QString title;
    QString text;
};

Q_DECLARE_METATYPE(SniPixmap)
Q_DECLARE_METATYPE(SniPixmaps)
Q_DECLARE_METATYPE(SniToolTip)

// Our own tray item for a StatusNotifierWatcher that appears after the application
// (a panel started late): Qt's tray icon decides once, at its first icon, whether the
// session has a watcher, and stays in the X11 tray otherwise. Icon, tooltip and status
// over D-Bus; a host's request for the context menu shows our menu where it asks.
class StatusNotifierItem : public QObject
{
    Q_OBJECT

public:
    explicit StatusNotifierItem(QMenu *menu, QObject *parent = nullptr);
    ~StatusNotifierItem() override;

    // Exports the item and registers it with the watcher; false when either fails.
    bool registerItem();
    void setIcon(const QIcon &icon);
    void setToolTip(const QString &title, const QString &text);

    SniPixmaps iconPixmap() const { return m_icon; }
    SniToolTip toolTip() const;
    QString title() const;

signals:
    void activated();
    void newIcon();
    void newToolTip();

private:
    friend class StatusNotifierItemAdaptor;
    void showMenu(int x, int y);

    QMenu *m_menu;
    QString m_service;
    SniPixmaps m_icon;
    QString m_tipTitle;
    QString m_tipText;
};

class StatusNotifierItemAdaptor : public QDBusAbstractAdaptor
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierItem")
    Q_PROPERTY(QString Category READ category)
    Q_PROPERTY(QString Id READ id)
    Q_PROPERTY(QString Title READ title)
    Q_PROPERTY(QString Status READ status)
    Q_PROPERTY(int WindowId READ windowId)
    Q_PROPERTY(QString IconName READ iconName)
    Q_PROPERTY(SniPixmaps IconPixmap READ iconPixmap)
    Q_PROPERTY(QString OverlayIconName READ iconName)
    Q_PROPERTY(SniPixmaps OverlayIconPixmap READ noPixmaps)
    Q_PROPERTY(QString AttentionIconName READ iconName)
    Q_PROPERTY(SniPixmaps AttentionIconPixmap READ noPixmaps)
    Q_PROPERTY(QString AttentionMovieName READ iconName)
    Q_PROPERTY(SniToolTip ToolTip READ toolTip)
    Q_PROPERTY(bool ItemIsMenu READ itemIsMenu)

public:
    explicit StatusNotifierItemAdaptor(StatusNotifierItem *item);

    QString category() const { return QStringLiteral("Communications"); }
    QString id() const { return QStringLiteral("corrivo2"); }
    QString title() const { return m_item->title(); }
    QString status() const { return QStringLiteral("Active"); }
    int windowId() const { return 0; }
    QString iconName() const { return QString(); }
    SniPixmaps iconPixmap() const { return m_item->iconPixmap(); }
    SniPixmaps noPixmaps() const { return SniPixmaps(); }
    SniToolTip toolTip() const { return m_item->toolTip(); }
    bool itemIsMenu() const { return false; }

public slots:
    void ContextMenu(int x, int y);
    void Activate(int x, int y);
    void SecondaryActivate(int x, int y);
    void Scroll(int delta, const QString &orientation);

signals:
    void NewTitle();
    void NewIcon();
    void NewToolTip();
    void NewStatus(const QString &status);

private:
    StatusNotifierItem *m_item;
};
