#include "shell/statusnotifieritem.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusPendingCall>
#include <QImage>
#include <QMenu>
#include <QtEndian>

namespace {

const char WatcherService[] = "org.kde.StatusNotifierWatcher";
const char WatcherPath[] = "/StatusNotifierWatcher";
const char ItemPath[] = "/StatusNotifierItem";

} // namespace

QDBusArgument &operator<<(QDBusArgument &argument, const SniPixmap &pixmap)
{
    argument.beginStructure();
    argument << pixmap.width << pixmap.height << pixmap.bytes;
    argument.endStructure();
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument, SniPixmap &pixmap)
{
    argument.beginStructure();
    argument >> pixmap.width >> pixmap.height >> pixmap.bytes;
    argument.endStructure();
    return argument;
}

QDBusArgument &operator<<(QDBusArgument &argument, const SniToolTip &tip)
{
    argument.beginStructure();
    argument << tip.iconName << tip.icon << tip.title << tip.text;
    argument.endStructure();
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument, SniToolTip &tip)
{
    argument.beginStructure();
    argument >> tip.iconName >> tip.icon >> tip.title >> tip.text;
    argument.endStructure();
    return argument;
}

StatusNotifierItem::StatusNotifierItem(QMenu *menu, QObject *parent)
    : QObject(parent)
    , m_menu(menu)
{
    qDBusRegisterMetaType<SniPixmap>();
    qDBusRegisterMetaType<SniPixmaps>();
    qDBusRegisterMetaType<SniToolTip>();
    new StatusNotifierItemAdaptor(this);
}

StatusNotifierItem::~StatusNotifierItem()
{
    if (!m_service.isEmpty()) {
        QDBusConnection bus = QDBusConnection::sessionBus();
        bus.unregisterObject(QLatin1String(ItemPath));
        bus.unregisterService(m_service);
    }
}

bool StatusNotifierItem::registerItem()
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return false;
    if (m_service.isEmpty()) {
        const QString service = QStringLiteral("org.kde.StatusNotifierItem-%1-1").arg(QCoreApplication::applicationPid());
        if (!bus.registerObject(QLatin1String(ItemPath), this, QDBusConnection::ExportAdaptors))
            return false;
        if (!bus.registerService(service)) {
            bus.unregisterObject(QLatin1String(ItemPath));
            return false;
        }
        m_service = service;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(QLatin1String(WatcherService), QLatin1String(WatcherPath),
                                                       QLatin1String(WatcherService),
                                                       QStringLiteral("RegisterStatusNotifierItem"));
    call << m_service;
    bus.asyncCall(call);
    return true;
}

void StatusNotifierItem::setIcon(const QIcon &icon)
{
    SniPixmaps pixmaps;
    for (const QSize &size : icon.availableSizes()) {
        const QImage image = icon.pixmap(size).toImage().convertToFormat(QImage::Format_ARGB32);
        SniPixmap pixmap;
        pixmap.width = image.width();
        pixmap.height = image.height();
        pixmap.bytes.resize(qsizetype(image.width()) * image.height() * 4);
        auto *out = reinterpret_cast<quint32 *>(pixmap.bytes.data());
        for (int y = 0; y < image.height(); ++y) {
            const auto *line = reinterpret_cast<const quint32 *>(image.constScanLine(y));
            for (int x = 0; x < image.width(); ++x)
                *out++ = qToBigEndian(line[x]);
        }
        pixmaps.append(pixmap);
    }
    m_icon = pixmaps;
    emit newIcon();
}

void StatusNotifierItem::setToolTip(const QString &title, const QString &text)
{
    m_tipTitle = title;
    m_tipText = text;
    emit newToolTip();
}

SniToolTip StatusNotifierItem::toolTip() const
{
    SniToolTip tip;
    tip.title = m_tipTitle;
    tip.text = m_tipText;
    return tip;
}

QString StatusNotifierItem::title() const
{
    return QStringLiteral("Corrivo 2");
}

void StatusNotifierItem::showMenu(int x, int y)
{
    if (m_menu)
        m_menu->popup(QPoint(x, y));
}

StatusNotifierItemAdaptor::StatusNotifierItemAdaptor(StatusNotifierItem *item)
    : QDBusAbstractAdaptor(item)
    , m_item(item)
{
    connect(item, &StatusNotifierItem::newIcon, this, &StatusNotifierItemAdaptor::NewIcon);
    connect(item, &StatusNotifierItem::newToolTip, this, &StatusNotifierItemAdaptor::NewToolTip);
}

void StatusNotifierItemAdaptor::ContextMenu(int x, int y)
{
    m_item->showMenu(x, y);
}

void StatusNotifierItemAdaptor::Activate(int x, int y)
{
    Q_UNUSED(x)
    Q_UNUSED(y)
    emit m_item->activated();
}

void StatusNotifierItemAdaptor::SecondaryActivate(int x, int y)
{
    Activate(x, y);
}

void StatusNotifierItemAdaptor::Scroll(int delta, const QString &orientation)
{
    Q_UNUSED(delta)
    Q_UNUSED(orientation)
}
