#include "desktop/dbus_menu_exporter.h"
#include "desktop/dbus_menu_types.h"

#include <QAction>
#include <QBuffer>
#include <QDBusAbstractAdaptor>
#include <QDBusArgument>
#include <QDBusMetaType>
#include <QDBusVariant>
#include <QEvent>
#include <QGuiApplication>
#include <QIcon>
#include <QMenu>
#include <QSet>
#include <QTimer>

namespace {
// A key sequence as dbusmenu names it: [["Control", "O"]].
DBusMenuShortcut shortcutOf(const QKeySequence& keys)
{
    DBusMenuShortcut shortcut;
    for (int i = 0; i < keys.count(); ++i) {
        const QKeyCombination combination = keys[i];
        QStringList names;
        const Qt::KeyboardModifiers modifiers = combination.keyboardModifiers();
        if (modifiers & Qt::ControlModifier)
            names << QStringLiteral("Control");
        if (modifiers & Qt::AltModifier)
            names << QStringLiteral("Alt");
        if (modifiers & Qt::ShiftModifier)
            names << QStringLiteral("Shift");
        if (modifiers & Qt::MetaModifier)
            names << QStringLiteral("Super");
        names << QKeySequence(combination.key()).toString();
        shortcut << names;
    }
    return shortcut;
}
} // namespace

// The com.canonical.dbusmenu interface of the exporter's object. Any process of the session may
// call it, so what cannot be answered is refused at once, and a call names at most one id per
// entry: a caller left without an answer waits for the bus's timeout, and a call naming an id
// thousands of times would hold the menu, and the application with it, for seconds.
class DBusMenuAdaptor final : public QDBusAbstractAdaptor
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.canonical.dbusmenu")
    Q_PROPERTY(uint Version READ version)
    Q_PROPERTY(QString TextDirection READ textDirection)
    Q_PROPERTY(QString Status READ status)

public:
    explicit DBusMenuAdaptor(DBusMenuExporter* menu) : QDBusAbstractAdaptor(menu), m_menu(menu)
    {
        connect(menu, &DBusMenuExporter::changed, this, [this](uint revision) {
            QList<DBusMenuItemProperties> updated;
            for (const DBusMenuLayoutItem& entry : m_menu->layout().children)
                updated.append({entry.id, entry.properties});
            Q_EMIT ItemsPropertiesUpdated(updated, {});
            Q_EMIT LayoutUpdated(revision, 0);
        });
    }

    uint version() const { return 3; }
    QString textDirection() const
    {
        return QGuiApplication::layoutDirection() == Qt::RightToLeft ? QStringLiteral("rtl")
                                                                     : QStringLiteral("ltr");
    }
    QString status() const { return QStringLiteral("normal"); }

public Q_SLOTS:
    uint GetLayout(int parentId, int recursionDepth, const QStringList& propertyNames,
                   DBusMenuLayoutItem& layout)
    {
        Q_UNUSED(propertyNames); // every property is sent: the menu is small
        layout = m_menu->layout();
        if (parentId != 0) // entries have no children of their own
            layout = {parentId, m_menu->properties(parentId), {}};
        else if (recursionDepth == 0)
            layout.children.clear();
        return m_menu->revision();
    }
    QList<DBusMenuItemProperties> GetGroupProperties(const QList<int>& ids,
                                                     const QStringList& propertyNames)
    {
        QList<DBusMenuItemProperties> found;
        if (refusedAsTooMany(ids.size()))
            return found;
        const QSet<QString> wanted(propertyNames.begin(), propertyNames.end());
        for (int id : ids) {
            QVariantMap properties = m_menu->properties(id);
            if (!wanted.isEmpty())
                for (auto it = properties.begin(); it != properties.end();)
                    it = wanted.contains(it.key()) ? std::next(it) : properties.erase(it);
            found.append({id, properties});
        }
        return found;
    }
    QDBusVariant GetProperty(int id, const QString& name)
    {
        const QVariantMap properties = m_menu->properties(id);
        if (properties.isEmpty())
            m_menu->sendErrorReply(QDBusError::InvalidArgs,
                                   QStringLiteral("No menu entry %1").arg(id));
        else if (!properties.contains(name))
            m_menu->sendErrorReply(
                QDBusError::UnknownProperty,
                QStringLiteral("The menu entry %1 has no property %2").arg(id).arg(name));
        return QDBusVariant(properties.value(name, QString()));
    }
    void Event(int id, const QString& eventId, const QDBusVariant& data, uint timestamp)
    {
        Q_UNUSED(data);
        Q_UNUSED(timestamp);
        if (eventId == QLatin1String("clicked")) {
            // Queued: the panel has its answer before an action that may open an alert runs.
            if (QAction* action = m_menu->action(id))
                QMetaObject::invokeMethod(action, &QAction::trigger, Qt::QueuedConnection);
        } else if (eventId == QLatin1String("opened") && id == 0) {
            m_menu->aboutToShow();
        }
    }
    QList<int> EventGroup(const QList<DBusMenuEvent>& events)
    {
        QList<int> unknown;
        if (refusedAsTooMany(events.size()))
            return unknown;
        for (const DBusMenuEvent& event : events) {
            if (event.id != 0 && !m_menu->action(event.id))
                unknown << event.id;
            else
                Event(event.id, event.eventId, event.data, event.timestamp);
        }
        return unknown;
    }
    bool AboutToShow(int id)
    {
        if (id == 0)
            m_menu->aboutToShow();
        return false; // a change it causes is announced by LayoutUpdated
    }
    QList<int> AboutToShowGroup(const QList<int>& ids, QList<int>& unknown)
    {
        if (refusedAsTooMany(ids.size()))
            return {};
        if (ids.contains(0))
            m_menu->aboutToShow();
        for (int id : ids)
            if (id != 0 && !m_menu->action(id))
                unknown << id;
        return {};
    }

Q_SIGNALS:
    void ItemsPropertiesUpdated(const QList<DBusMenuItemProperties>& updated,
                                const QList<DBusMenuItemKeys>& removed);
    void LayoutUpdated(uint revision, int parent);
    void ItemActivationRequested(int id, uint timestamp);

private:
    // The root and each entry once: more is refused with an error.
    bool refusedAsTooMany(qsizetype count)
    {
        const qsizetype most = (m_menu->menu() ? m_menu->menu()->actions().size() : 0) + 1;
        if (count <= most)
            return false;
        m_menu->sendErrorReply(
            QDBusError::InvalidArgs,
            QStringLiteral("%1 ids asked for, the menu has %2").arg(count).arg(most));
        return true;
    }

    DBusMenuExporter* m_menu;
};

DBusMenuExporter::DBusMenuExporter(QDBusConnection bus, QString path, QMenu* menu, QObject* parent)
    : QObject(parent), m_bus(std::move(bus)), m_path(std::move(path)), m_menu(menu), m_watched(menu)
{
    static const bool registered = [] {
        qDBusRegisterMetaType<DBusMenuLayoutItem>();
        qDBusRegisterMetaType<DBusMenuItemProperties>();
        qDBusRegisterMetaType<QList<DBusMenuItemProperties>>();
        qDBusRegisterMetaType<DBusMenuItemKeys>();
        qDBusRegisterMetaType<QList<DBusMenuItemKeys>>();
        qDBusRegisterMetaType<DBusMenuEvent>();
        qDBusRegisterMetaType<QList<DBusMenuEvent>>();
        qDBusRegisterMetaType<DBusMenuShortcut>();
        return true;
    }();
    Q_UNUSED(registered);
    new DBusMenuAdaptor(this);
    if (m_menu)
        m_menu->installEventFilter(this);
    m_bus.registerObject(m_path, this, QDBusConnection::ExportAdaptors);
}

DBusMenuExporter::~DBusMenuExporter()
{
    m_bus.unregisterObject(m_path);
    if (m_menu)
        m_menu->removeEventFilter(this);
}

bool DBusMenuExporter::eventFilter(QObject* watched, QEvent* event)
{
    const QEvent::Type type = event->type();
    if (watched == m_watched && !m_changePending &&
        (type == QEvent::ActionAdded || type == QEvent::ActionChanged ||
         type == QEvent::ActionRemoved)) {
        // Coalesced: updateMenu changes several entries at once.
        m_changePending = true;
        QTimer::singleShot(0, this, [this] {
            m_changePending = false;
            Q_EMIT changed(++m_revision);
        });
    }
    return QObject::eventFilter(watched, event);
}

int DBusMenuExporter::idOf(QAction* action) const
{
    auto it = m_ids.find(action);
    if (it == m_ids.end())
        it = m_ids.insert(action, m_nextId++);
    return it.value();
}

QAction* DBusMenuExporter::action(int id) const
{
    if (!m_menu)
        return nullptr;
    const QList<QAction*> actions = m_menu->actions();
    for (QAction* action : actions)
        if (idOf(action) == id)
            return action;
    return nullptr;
}

DBusMenuLayoutItem DBusMenuExporter::layout() const
{
    DBusMenuLayoutItem root{
        0, {{QStringLiteral("children-display"), QStringLiteral("submenu")}}, {}};
    if (m_menu) {
        const QList<QAction*> actions = m_menu->actions();
        for (QAction* action : actions)
            root.children.append({idOf(action), properties(idOf(action)), {}});
    }
    return root;
}

QVariantMap DBusMenuExporter::properties(int id) const
{
    if (id == 0)
        return {{QStringLiteral("children-display"), QStringLiteral("submenu")}};
    const QAction* item = action(id);
    if (!item)
        return {};
    QVariantMap properties;
    if (item->isSeparator()) {
        properties.insert(QStringLiteral("type"), QStringLiteral("separator"));
    } else {
        properties.insert(QStringLiteral("label"), dbusMenuLabel(item->text()));
        if (!item->shortcut().isEmpty())
            properties.insert(QStringLiteral("shortcut"),
                              QVariant::fromValue(shortcutOf(item->shortcut())));
        if (item->isCheckable()) {
            properties.insert(QStringLiteral("toggle-type"), item->actionGroup()
                                                                 ? QStringLiteral("radio")
                                                                 : QStringLiteral("checkmark"));
            properties.insert(QStringLiteral("toggle-state"), item->isChecked() ? 1 : 0);
        }
        if (!item->icon().isNull()) {
            QByteArray png;
            QBuffer buffer(&png);
            buffer.open(QIODevice::WriteOnly);
            item->icon().pixmap(16, 16).save(&buffer, "PNG");
            properties.insert(QStringLiteral("icon-data"), png);
        }
    }
    properties.insert(QStringLiteral("enabled"), item->isEnabled());
    properties.insert(QStringLiteral("visible"), item->isVisible());
    return properties;
}

void DBusMenuExporter::aboutToShow()
{
    if (m_menu)
        Q_EMIT m_menu->aboutToShow();
}

QString dbusMenuLabel(const QString& text)
{
    QString label;
    label.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c == QLatin1Char('&')) {
            if (i + 1 < text.size() && text[i + 1] == QLatin1Char('&')) {
                label += QLatin1Char('&');
                ++i;
            } else {
                label += QLatin1Char('_');
            }
        } else if (c == QLatin1Char('_')) {
            label += QStringLiteral("__");
        } else {
            label += c;
        }
    }
    return label;
}

#include "dbus_menu_exporter.moc"
