#include "desktop/status_notifier_item.h"

#include "desktop/dbus_menu_exporter.h"
#include "desktop/tray_host.h"

#include <QCoreApplication>
#include <QCursor>
#include <QDBusAbstractAdaptor>
#include <QDBusArgument>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusServiceWatcher>
#include <QGuiApplication>
#include <QImage>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QtEndian>

namespace {
const QString WatcherService = statusNotifierWatcherService();
const QString ItemPath = QStringLiteral("/StatusNotifierItem");
const QString MenuPath = QStringLiteral("/MenuBar");
} // namespace

// (iiay): one pixmap of the icon.
struct SniPixmap
{
    int width = 0;
    int height = 0;
    QByteArray argb;
};
using SniPixmapList = QList<SniPixmap>;
// (sa(iiay)ss): icon name, pixmaps, title, body.
struct SniToolTip
{
    QString iconName;
    SniPixmapList pixmaps;
    QString title;
    QString body;
};
Q_DECLARE_METATYPE(SniPixmap)
Q_DECLARE_METATYPE(SniToolTip)

QDBusArgument& operator<<(QDBusArgument& arg, const SniPixmap& pixmap)
{
    arg.beginStructure();
    arg << pixmap.width << pixmap.height << pixmap.argb;
    arg.endStructure();
    return arg;
}
const QDBusArgument& operator>>(const QDBusArgument& arg, SniPixmap& pixmap)
{
    arg.beginStructure();
    arg >> pixmap.width >> pixmap.height >> pixmap.argb;
    arg.endStructure();
    return arg;
}
QDBusArgument& operator<<(QDBusArgument& arg, const SniToolTip& tip)
{
    arg.beginStructure();
    arg << tip.iconName << tip.pixmaps << tip.title << tip.body;
    arg.endStructure();
    return arg;
}
const QDBusArgument& operator>>(const QDBusArgument& arg, SniToolTip& tip)
{
    arg.beginStructure();
    arg >> tip.iconName >> tip.pixmaps >> tip.title >> tip.body;
    arg.endStructure();
    return arg;
}

// The org.kde.StatusNotifierItem interface of the item's object.
class StatusNotifierItemAdaptor final : public QDBusAbstractAdaptor
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierItem")
    Q_PROPERTY(QString Category READ category)
    Q_PROPERTY(QString Id READ id)
    Q_PROPERTY(QString Title READ title)
    Q_PROPERTY(QString Status READ status)
    Q_PROPERTY(int WindowId READ windowId)
    Q_PROPERTY(QString IconName READ iconName)
    Q_PROPERTY(SniPixmapList IconPixmap READ iconPixmap)
    Q_PROPERTY(QString AttentionIconName READ iconName)
    Q_PROPERTY(SniPixmapList AttentionIconPixmap READ attentionIconPixmap)
    Q_PROPERTY(QString AttentionMovieName READ iconName)
    Q_PROPERTY(SniToolTip ToolTip READ toolTip)
    Q_PROPERTY(bool ItemIsMenu READ itemIsMenu)
    Q_PROPERTY(QDBusObjectPath Menu READ menu)

public:
    explicit StatusNotifierItemAdaptor(StatusNotifierItem* item)
        : QDBusAbstractAdaptor(item), m_item(item)
    {
        connect(item, &StatusNotifierItem::iconChanged, this, &StatusNotifierItemAdaptor::NewIcon);
        connect(item, &StatusNotifierItem::toolTipChanged, this,
                &StatusNotifierItemAdaptor::NewToolTip);
        connect(item, &StatusNotifierItem::needsAttentionChanged, this,
                [this] { Q_EMIT NewStatus(status()); });
        connect(item, &StatusNotifierItem::attentionIconChanged, this,
                &StatusNotifierItemAdaptor::NewAttentionIcon);
    }

    QString category() const { return QStringLiteral("ApplicationStatus"); }
    QString id() const { return m_item->id(); }
    QString title() const { return m_item->title(); }
    // A failed server asks to be seen: Plasma shows such an item even where it hides quiet ones.
    QString status() const
    {
        return m_item->needsAttention() ? QStringLiteral("NeedsAttention")
                                        : QStringLiteral("Active");
    }
    int windowId() const { return 0; }
    QString iconName() const { return {}; } // pixmaps only: not every panel finds a theme's icon
    SniPixmapList iconPixmap() const { return listOf(m_item->pixmaps()); }
    SniPixmapList attentionIconPixmap() const { return listOf(m_item->attentionPixmaps()); }
    SniToolTip toolTip() const
    {
        return {QString(), {}, m_item->toolTipTitle(), m_item->toolTipBody()};
    }
    bool itemIsMenu() const { return true; }
    QDBusObjectPath menu() const { return QDBusObjectPath(m_item->menuPath()); }

public Q_SLOTS:
    // The panel opens the menu itself (ItemIsMenu): clicks need nothing from us. Plasma's tray
    // ignores ItemIsMenu and calls Activate on a left click all the same, opening the menu only
    // when the call fails: so it fails.
    void Activate(int, int, const QDBusMessage& call)
    {
        call.setDelayedReply(true);
        m_item->bus().send(call.createErrorReply(QDBusError::UnknownMethod,
                                                 QStringLiteral("The menu is the item.")));
    }
    void SecondaryActivate(int, int) {}
    void ContextMenu(int, int) {}
    void Scroll(int, const QString&) {}

Q_SIGNALS:
    void NewIcon();
    void NewToolTip();
    void NewAttentionIcon();
    void NewStatus(const QString& status);
    void NewTitle();

private:
    static SniPixmapList listOf(const QList<std::tuple<int, int, QByteArray>>& pixmaps)
    {
        SniPixmapList list;
        for (const auto& [width, height, argb] : pixmaps)
            list.append({width, height, argb});
        return list;
    }

    StatusNotifierItem* m_item;
};

StatusNotifierItem::StatusNotifierItem(QDBusConnection bus, QString id, QString title,
                                       QObject* parent)
    : QObject(parent), m_bus(std::move(bus)), m_id(std::move(id)), m_title(std::move(title))
{
    static const bool registered = [] {
        qDBusRegisterMetaType<SniPixmap>();
        qDBusRegisterMetaType<SniPixmapList>();
        qDBusRegisterMetaType<SniToolTip>();
        return true;
    }();
    Q_UNUSED(registered);
    static int instances = 0; // a name of its own for each item the process makes
    m_service = QStringLiteral("org.kde.StatusNotifierItem-%1-%2")
                    .arg(QCoreApplication::applicationPid())
                    .arg(++instances);
    new StatusNotifierItemAdaptor(this);
    // A panel that starts or restarts later finds the item when it is told again.
    auto* watcher = new QDBusServiceWatcher(WatcherService, m_bus,
                                            QDBusServiceWatcher::WatchForRegistration, this);
    connect(watcher, &QDBusServiceWatcher::serviceRegistered, this, [this] {
        if (m_shown)
            registerWithWatcher();
    });
}

StatusNotifierItem::~StatusNotifierItem()
{
    if (m_shown) {
        m_bus.unregisterObject(ItemPath);
        m_bus.unregisterService(m_service);
    }
}

void StatusNotifierItem::setIcon(const QIcon& icon)
{
    m_icon = icon;
    Q_EMIT iconChanged();
}

void StatusNotifierItem::setToolTip(const QString& title, const QString& body)
{
    if (title == m_toolTipTitle && body == m_toolTipBody)
        return;
    m_toolTipTitle = title;
    m_toolTipBody = body;
    Q_EMIT toolTipChanged();
}

void StatusNotifierItem::setNeedsAttention(bool needed, const QIcon& attentionIcon)
{
    if (attentionIcon.cacheKey() != m_attentionIcon.cacheKey()) {
        m_attentionIcon = attentionIcon;
        Q_EMIT attentionIconChanged();
    }
    if (needed == m_needsAttention)
        return;
    m_needsAttention = needed;
    Q_EMIT needsAttentionChanged();
}

void StatusNotifierItem::setMenu(QMenu* menu)
{
    m_menu = std::make_unique<DBusMenuExporter>(m_bus, MenuPath, menu);
}

QString StatusNotifierItem::menuPath() const
{
    return m_menu ? m_menu->path() : QStringLiteral("/NO_DBUSMENU");
}

QList<std::tuple<int, int, QByteArray>> StatusNotifierItem::pixmapsOf(const QIcon& icon)
{
    QList<std::tuple<int, int, QByteArray>> list;
    for (int size : TrayIconSides) {
        QImage image = icon.pixmap(QSize(size, size), 1.0).toImage();
        if (image.isNull())
            continue;
        if (image.size() != QSize(size, size))
            image = image.scaled(size, size, Qt::KeepAspectRatio, Qt::SmoothTransformation);
        image = image.convertToFormat(QImage::Format_ARGB32);
        QByteArray argb(static_cast<qsizetype>(image.width()) * image.height() * 4,
                        Qt::Uninitialized);
        auto* out = reinterpret_cast<quint32*>(argb.data());
        for (int y = 0; y < image.height(); ++y) {
            const auto* line = reinterpret_cast<const quint32*>(image.constScanLine(y));
            for (int x = 0; x < image.width(); ++x)
                *out++ = qToBigEndian(line[x]);
        }
        list.append({image.width(), image.height(), argb});
    }
    return list;
}

void StatusNotifierItem::show()
{
    if (m_shown)
        return;
    m_shown = m_bus.registerObject(ItemPath, this, QDBusConnection::ExportAdaptors) &&
              m_bus.registerService(m_service);
    if (m_shown)
        registerWithWatcher();
}

void StatusNotifierItem::registerWithWatcher()
{
    QDBusMessage call =
        QDBusMessage::createMethodCall(WatcherService, statusNotifierWatcherPath(), WatcherService,
                                       QStringLiteral("RegisterStatusNotifierItem"));
    call << m_service;
    call.setAutoStartService(false);
    m_bus.asyncCall(call);
}

namespace {
// Qt's own tray icon, for X11 trays that embed a window (XEmbed).
class TrayIconItem final : public StatusItem
{
public:
    TrayIconItem()
    {
        // A left click opens the same menu: the tray icon is the application's whole
        // interface. Only on X11: on Wayland a menu of our own with no parent is a window.
        const bool x11 = QGuiApplication::platformName() == QLatin1String("xcb");
        QObject::connect(&m_icon, &QSystemTrayIcon::activated, &m_icon,
                         [this, x11](QSystemTrayIcon::ActivationReason reason) {
                             if (reason == QSystemTrayIcon::Trigger && x11 && m_menu)
                                 m_menu->popup(QCursor::pos());
                         });
    }
    void setIcon(const QIcon& icon) override { m_icon.setIcon(icon); }
    QIcon icon() const override { return m_icon.icon(); }
    void setToolTip(const QString& title, const QString& body) override
    {
        m_icon.setToolTip(title + QLatin1Char('\n') + body);
    }
    void setMenu(QMenu* menu) override
    {
        m_menu = menu;
        m_icon.setContextMenu(menu);
    }
    void show() override { m_icon.show(); }
    bool isVisible() const override { return m_icon.isVisible(); }
    bool isEmbedded() const override { return true; }

private:
    QSystemTrayIcon m_icon;
    QPointer<QMenu> m_menu;
};
} // namespace

std::unique_ptr<StatusItem> makeStatusItem(QDBusConnection bus)
{
    if (bus.isConnected() && bus.interface() &&
        bus.interface()->isServiceRegistered(WatcherService).value()) {
        const QString id = QGuiApplication::desktopFileName().isEmpty()
                               ? QCoreApplication::applicationName()
                               : QGuiApplication::desktopFileName();
        return std::make_unique<StatusNotifierItem>(std::move(bus), id,
                                                    QCoreApplication::applicationName());
    }
    return std::make_unique<TrayIconItem>();
}

#include "status_notifier_item.moc"
