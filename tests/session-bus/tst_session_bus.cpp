// The desktop's D-Bus services as the application meets them on a private session bus (CTest
// runs this under dbus-run-session and xvfb-run): a tray host that comes late or never, the tray
// icon and its menu over com.canonical.dbusmenu, "Show Server Log" through
// org.freedesktop.FileManager1, and the real executable launched twice as a desktop launches it.
#include "desktop/dbus_menu_exporter.h"
#include "desktop/dbus_menu_types.h"
#include "desktop/desktop_services.h"
#include "desktop/status_notifier_item.h"
#include "desktop/tray_host.h"
#include "lifecycle.h"

#include <QActionGroup>
#include <QDesktopServices>
#include <QImage>
#include <QLocalServer>
#include <QMenu>
#include <QSemaphore>
#include <QSignalSpy>
#include <QThread>
#include <QtDBus>
#include <atomic>
#include <functional>
#include <sys/stat.h>
#include <xcb/xcb.h>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

struct MenuEvent // as a panel sends it (isvu), apart from the application's own spelling
{
    int id;
    QString name;
    friend QDBusArgument& operator<<(QDBusArgument& arg, const MenuEvent& e)
    {
        arg.beginStructure();
        arg << e.id << e.name << QDBusVariant(0) << 0u; // no data, no time
        arg.endStructure();
        return arg;
    }
    friend const QDBusArgument& operator>>(const QDBusArgument& arg, MenuEvent&) { return arg; }
};
const QString WatcherService = u"org.kde.StatusNotifierWatcher"_s;
const QString FileManagerService = u"org.freedesktop.FileManager1"_s;
const QString NotificationService = u"org.freedesktop.Notifications"_s;

// A panel's watcher, with a host registered.
class FakeWatcher : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(bool IsStatusNotifierHostRegistered MEMBER m_hostRegistered)
    bool m_hostRegistered = true;

public slots:
    void RegisterStatusNotifierItem(const QString& service) { emit registered(service); }
signals:
    void registered(const QString& service);
};

class FakeNotifications : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

public slots:
    void Notify(const QString& name, uint replaces, const QString& icon, const QString& summary,
                const QString& body, const QStringList&, const QVariantMap&, int timeout)
    {
        emit notified(QStringList{name, QString::number(replaces), icon, summary, body,
                                  QString::number(timeout)}
                          .join(u'|')); // its id is never asked for
    }
signals:
    void notified(const QString& text);
};

// A file manager that answers after delayMs; `answered` counts the answers sent, `asked` holds
// the last request (read once an answer is counted).
class FakeFileManager : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.FileManager1")

public:
    std::atomic<int> delayMs{0}, answered{0};
    QStringList asked;
public slots:
    void Sync() {} // its answer follows every answer sent before it

    void ShowItems(const QStringList& uris, const QString&, const QDBusMessage& call)
    {
        asked = uris;
        call.setDelayedReply(true);
        QTimer::singleShot(delayMs.load(), this, [this, reply = call.createReply()] {
            QDBusConnection(u"fake-desktop"_s).send(reply);
            ++answered;
        });
    }
};

class SessionBusTest : public QObject
{
    Q_OBJECT

    // Served from a thread of their own, so that the application's blocking calls reach them.
    QThread m_thread;
    FakeWatcher* m_watcher = new FakeWatcher;
    FakeFileManager* m_fileManager = new FakeFileManager;
    FakeNotifications* m_notifications = new FakeNotifications;
    QDBusConnection m_desktop =
        QDBusConnection::connectToBus(QDBusConnection::SessionBus, u"fake-desktop"_s);

    // A call of "interface.Method" on the connection the application's desktop services use,
    // answered while the event loop runs.
    static QDBusMessage call(const QString& service, const QString& path, const QString& method,
                             const QVariantList& arguments = {})
    {
        const qsizetype dot = method.lastIndexOf(u'.');
        QDBusMessage message =
            QDBusMessage::createMethodCall(service, path, method.left(dot), method.mid(dot + 1));
        message.setArguments(arguments);
        // Awaited through a watcher: its signal is queued behind those of earlier calls' answers,
        // so the application has handled any answer that came before this one.
        QDBusPendingCallWatcher pending(QDBusConnection::sessionBus().asyncCall(message));
        QSignalSpy finished(&pending, &QDBusPendingCallWatcher::finished);
        [&] { QVERIFY(finished.wait(deadline(10000))); }();
        return pending.reply();
    }
    QStringList m_opened;
    QStringList m_statuses; // NewStatus as the panel hears it
    QList<QDBusMessage> m_heard;
    std::unique_ptr<QObject> m_context = std::make_unique<QObject>(); // a test's connections

public slots:
    // Where QDesktopServices sends a folder to open, instead of xdg-open.
    void open(const QUrl& url) { m_opened.append(url.toLocalFile()); }
    void newStatus(const QString& status) { m_statuses.append(status); }
    void heard(const QDBusMessage& signal) { m_heard.append(signal); }

private slots:
    void initTestCase()
    {
        QVERIFY2(QDBusConnection::sessionBus().isConnected(), "run under dbus-run-session");
        const std::pair<QString, QObject*> fakes[] = {
            {u"/StatusNotifierWatcher"_s, m_watcher},
            {u"/org/freedesktop/FileManager1"_s, m_fileManager},
            {u"/org/freedesktop/Notifications"_s, m_notifications}};
        for (const auto& [path, fake] : fakes) {
            QVERIFY(m_desktop.registerObject(path, fake,
                                             QDBusConnection::ExportAllSlots |
                                                 QDBusConnection::ExportAllProperties));
            fake->moveToThread(&m_thread);
            connect(&m_thread, &QThread::finished, fake, &QObject::deleteLater);
        }
        m_thread.start();
    }
    void cleanupTestCase()
    {
        m_thread.quit();
        m_thread.wait();
    }

    // With no host in time the desktop is told once; the icon comes with a late host, and again
    // when the panel restarts. Its menu, read as the panel reads it, follows the server through
    // every state, and a click in the panel reaches the entry.
    void trayIconOverDBus()
    {
        QVERIFY(m_desktop.registerService(NotificationService));
        QStringList told, registered; // queued to this thread, however soon they come
        connect(m_notifications, &FakeNotifications::notified, m_context.get(),
                [&](const QString& text) { told << text; });
        connect(m_watcher, &FakeWatcher::registered, m_context.get(),
                [&](const QString& item) { registered << item; });
        Lifecycle life(freePort(), ControllerTimings{}); // nothing answers: starting for a minute
        TrayHostWatch watch(QDBusConnection::sessionBus(), {}, 200ms);
        QSignalSpy noHost(&watch, &TrayHostWatch::noHostYet);
        connect(&watch, &TrayHostWatch::hostAppeared, life.controller.get(),
                &TarvessaAudioServerAppDelegate::trayHostAppeared);
        connect(&watch, &TrayHostWatch::noHostYet, this,
                [] { notifyNoTrayIcon(QDBusConnection::sessionBus()); });
        life.controller->applicationDidFinishLaunching({true});
        watch.start();
        QVERIFY(noHost.wait(deadline(5000)));
        QVERIFY(!life.controller->statusItem); // no host: no icon
        QTRY_COMPARE(told.size(), 1);
        QCOMPARE(told[0], u"Tarvessa Audio Server|0|io.tarvessa.tarvessa-audio-server|Tarvessa "
                          "Audio Server is running without a tray icon|This desktop shows no "
                          "tray, so the icon cannot be shown. Launch Tarvessa Audio Server again "
                          "to open its web interface; \"tarvessa-audio-server --quit\" ends "
                          "it.|-1"_s);
        for (int restart = 1; restart <= 2; ++restart) { // the second: the panel restarts
            m_desktop.unregisterService(WatcherService);
            QVERIFY(m_desktop.registerService(WatcherService));
            // Within a second of it.
            QTRY_COMPARE_WITH_TIMEOUT(registered.size(), restart, deadline(1000));
            QVERIFY(life.controller->statusItem->isVisible());
        }
        QCOMPARE(told.size(), 1);
        const QString item = registered.last();
        const auto itemProperty = [&](const QString& name) {
            return QDBusReply<QDBusVariant>(call(item, u"/StatusNotifierItem"_s,
                                                 u"org.freedesktop.DBus.Properties.Get"_s,
                                                 {u"org.kde.StatusNotifierItem"_s, name}))
                .value()
                .variant();
        };
        const auto pixmaps = [&](const QString& name) { // all sizes' bytes, one after another
            const QDBusArgument list = qvariant_cast<QDBusArgument>(itemProperty(name));
            QByteArray all, argb;
            int size = 0;
            for (list.beginArray(); !list.atEnd(); all += argb) {
                list.beginStructure();
                list >> size >> size >> argb;
                list.endStructure();
            }
            list.endArray();
            return all;
        };
        QVERIFY(itemProperty(u"ItemIsMenu"_s).toBool()); // the panel opens the menu on any click
        {
            // An item not given a menu names none in the way panels know, nor pixmaps without an
            // icon; shown twice, it stays.
            StatusNotifierItem bare(
                QDBusConnection::connectToBus(QDBusConnection::SessionBus, u"bare-item"_s), {}, {});
            QCOMPARE(bare.menuPath(), u"/NO_DBUSMENU"_s);
            QVERIFY(bare.pixmaps().isEmpty()); // no icon yet: none of any size
            bare.show();
            bare.show();
            QVERIFY(bare.isVisible());
        }
        QDBusConnection::disconnectFromBus(u"bare-item"_s);
        QCOMPARE(itemProperty(u"Category"_s).toString(), u"ApplicationStatus"_s);
        // Plasma calls Activate all the same, and opens the menu only when the call fails.
        const QDBusMessage activated =
            call(item, u"/StatusNotifierItem"_s, u"org.kde.StatusNotifierItem.Activate"_s, {0, 0});
        QCOMPARE(activated.errorName() + u'|' + activated.errorMessage(),
                 u"org.freedesktop.DBus.Error.UnknownMethod|The menu is the item."_s);
        const QString menu = itemProperty(u"Menu"_s).value<QDBusObjectPath>().path();
        // "label" per entry, "(off)" marking a disabled one, "-" a separator; and their ids.
        QList<int> ids;
        const auto read = [&] {
            QStringList shown;
            ids.clear();
            int id = 0; // the root's, and its properties
            QVariantMap entry;
            QVariantList children;
            const QDBusArgument root = qvariant_cast<QDBusArgument>(
                call(item, menu, u"com.canonical.dbusmenu.GetLayout"_s, {0, 1, QStringList()})
                    .arguments()
                    .value(1));
            root.beginStructure();
            root >> id >> entry >> children;
            root.endStructure(); // each begun level is ended, or its reader leaks
            for (const QVariant& child : std::as_const(children)) {
                std::tie(id, entry) = qdbus_cast<std::pair<int, QVariantMap>>(child);
                ids << id;
                shown << (entry.contains(u"type"_s) ? u"-"_s : entry.value(u"label"_s).toString()) +
                             (entry.value(u"enabled"_s).toBool() ? u""_s : u"(off)"_s);
            }
            return shown;
        };
        const QString address = u"http://127.0.0.1:%1"_s.arg(life.port);
        const QString layout = u"Open Tarvessa Audio Server;%1(off);%2;-;%3;Restart Server(off);-;"
                               "Start at Login;-;Show Data Folder;Show Server Log;-;"
                               "Quit Tarvessa Audio Server"_s;
        // The item asks for attention from a failure until the next start or stop.
        const struct
        {
            std::function<void()> drive;
            QString titles, status;
        } steps[] = {{[&] { life.controller->updateMenu(ServerState::stopped()); },
                      u"Server stopped|Start Server"_s, u"Active"_s},
                     {[&] { life.controller->presentLaunchError(u"No runtime."_s); },
                      u"No runtime.|Start Server"_s, u"NeedsAttention"_s},
                     {[&] { life.controller->stopOwnedServer(); }, u"Server stopped|Start Server"_s,
                      u"Active"_s},
                     {[&] { life.controller->updateMenu(ServerState::running()); }, // not ours
                      u"Server running (external)|Server Managed Externally(off)"_s, u"Active"_s},
                     {[&] { life.controller->presentLaunchError(u"No runtime."_s); },
                      u"No runtime.|Start Server"_s, u"NeedsAttention"_s},
                     {[&] { life.controller->startServer(false); },
                      u"Server starting\u2026|Stop Server"_s, u"Active"_s}};
        QVERIFY(m_desktop.connect(item, u"/StatusNotifierItem"_s, u"org.kde.StatusNotifierItem"_s,
                                  u"NewStatus"_s, this, SLOT(newStatus(QString))));
        life.account.installRuntime(u"exec sleep 60"_s); // for the last step
        QSet<qint64> icons;                              // one per kind of state
        for (const auto& [drive, titles, status] : steps) {
            drive();
            const QStringList t = titles.split(u'|');
            QTRY_COMPARE(read().join(u';'), layout.arg(t[0], address, t[1]));
            // The tool tip, past its icon's name and pixmaps.
            const QDBusArgument tip = qvariant_cast<QDBusArgument>(itemProperty(u"ToolTip"_s));
            QString icon, title, body;
            tip.beginStructure();
            tip >> icon;
            tip.beginArray();
            tip.endArray();
            tip >> title >> body;
            tip.endStructure();
            QCOMPARE(title + u'|' + body, u"Tarvessa Audio Server|"_s + t[0]);
            icons.insert(life.controller->statusItem->icon().cacheKey());
            QCOMPARE(itemProperty(u"Status"_s).toString(), status);
            // The failed icon is the one to show meanwhile.
            QVERIFY(status == u"Active"_s ||
                    pixmaps(u"AttentionIconPixmap"_s) == pixmaps(u"IconPixmap"_s));
        }
        QCOMPARE(icons.size(), 4);
        // Each change told as it came.
        QTRY_COMPARE(m_statuses, (QStringList{u"Active"_s, u"NeedsAttention"_s, u"Active"_s,
                                              u"NeedsAttention"_s, u"Active"_s}));
        const int copy = ids[read().indexOf(address)];
        call(item, menu, u"com.canonical.dbusmenu.Event"_s,
             {copy, u"clicked"_s, QVariant::fromValue(QDBusVariant(0)), 0u});
        // Events batched, as some panels send them: the known entry is clicked, the unknown named.
        qDBusRegisterMetaType<MenuEvent>();
        qDBusRegisterMetaType<QList<MenuEvent>>();
        const QList<MenuEvent> batch{{copy, u"clicked"_s}, {9999, u"clicked"_s}};
        const QDBusMessage unknown =
            call(item, menu, u"com.canonical.dbusmenu.EventGroup"_s, {QVariant::fromValue(batch)});
        QCOMPARE(qdbus_cast<QList<int>>(unknown.arguments().value(0)), QList<int>{9999});
        QTRY_COMPARE(life.account.clipboard.texts, (QStringList{address, address}));
        life.controller->applicationWillTerminate();
    }

    // An X11 tray that comes late takes the tray selection and announces it to every client on
    // the root window; until then the wait asks the X server nothing, on no timer. Once there,
    // it is found at the start; so is a watcher's host, or later when the watcher tells of it.
    void xembedTrayComingLate()
    {
        TrayHostWatch watch(QDBusConnection::sessionBus(), TrayHostWatch::XEmbed::Watched, 200ms);
        QSignalSpy appeared(&watch, &TrayHostWatch::hostAppeared);
        QSignalSpy noHost(&watch, &TrayHostWatch::noHostYet);
        watch.start();
        QVERIFY(noHost.wait(deadline(5000)));
        QCOMPARE(appeared.size(), 0);
        QWidget window; // the X server's other events still reach the toolkit meanwhile
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window, deadline(5000)));
        QVERIFY(std::ranges::none_of(watch.findChildren<QTimer*>(), &QTimer::isActive));
        xcb_connection_t* x =
            qGuiApp->nativeInterface<QNativeInterface::QX11Application>()->connection();
        const auto atom = [x](const char* name) {
            xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(
                x, xcb_intern_atom(x, 0, uint16_t(strlen(name)), name), nullptr);
            const xcb_atom_t value = reply->atom;
            free(reply);
            return value;
        };
        const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(x)).data->root;
        const xcb_atom_t selection = atom("_NET_SYSTEM_TRAY_S0");
        xcb_set_selection_owner(x, root, selection, XCB_CURRENT_TIME); // the tray's owner window
        // To every client: a tray manager owns the selection now.
        xcb_client_message_event_t manager{XCB_CLIENT_MESSAGE, 32, 0, root, atom("MANAGER"), {}};
        manager.data.data32[1] = selection;
        xcb_send_event(x, 0, root, XCB_EVENT_MASK_STRUCTURE_NOTIFY,
                       reinterpret_cast<const char*>(&manager));
        xcb_flush(x);
        QVERIFY(appeared.wait(deadline(5000)));
        // A tray already there when the application launches: its icon comes with the menu.
        Lifecycle life(freePort(), ControllerTimings{});
        TrayHostWatch present(QDBusConnection::sessionBus(), TrayHostWatch::XEmbed::Watched);
        connect(&present, &TrayHostWatch::hostAppeared, life.controller.get(),
                &TarvessaAudioServerAppDelegate::trayHostAppeared);
        present.start();
        life.controller->applicationDidFinishLaunching({true});
        QVERIFY(life.controller->statusItem && life.controller->statusItem->isVisible());
        // A watcher that comes after the tray (XFCE's panel) takes the icon over.
        QStringList registered;
        connect(m_watcher, &FakeWatcher::registered, m_context.get(),
                [&](const QString& item) { registered << item; });
        QVERIFY(m_desktop.registerService(WatcherService));
        QTRY_COMPARE_WITH_TIMEOUT(registered.size(), 1, deadline(10000));
        QVERIFY(!life.controller->statusItem->isEmbedded());
        TrayHostWatch atStart(QDBusConnection::sessionBus()); // a host there already: told at once
        QSignalSpy told(&atStart, &TrayHostWatch::hostAppeared);
        atStart.start();
        QCOMPARE(told.size(), 1);
        // A watcher too busy to answer while the launch waits is asked again.
        QSemaphore busy;
        QMetaObject::invokeMethod(m_watcher, [&busy] { busy.acquire(); });
        TrayHostWatch slow(QDBusConnection::sessionBus());
        QSignalSpy slowTold(&slow, &TrayHostWatch::hostAppeared);
        slow.start();
        busy.release();
        QTRY_COMPARE(slowTold.size(), 1);
        // With both there, the X tray at once and the watcher's host when it answers.
        TrayHostWatch both(QDBusConnection::sessionBus(), TrayHostWatch::XEmbed::Watched);
        QSignalSpy bothTold(&both, &TrayHostWatch::hostAppeared);
        both.start();
        QCOMPARE(bothTold.size(), 1);
        QTRY_COMPARE(bothTold.size(), 2);
        // A watcher with no host yet tells when its panel's host has come.
        const auto hostThere = [this](bool there) {
            QMetaObject::invokeMethod(
                m_watcher,
                [this, there] { m_watcher->setProperty("IsStatusNotifierHostRegistered", there); },
                Qt::BlockingQueuedConnection);
        };
        hostThere(false);
        TrayHostWatch hostLater(QDBusConnection::sessionBus());
        QSignalSpy laterTold(&hostLater, &TrayHostWatch::hostAppeared);
        hostLater.start();
        QCOMPARE(laterTold.size(), 0);
        hostThere(true);
        m_desktop.send(QDBusMessage::createSignal(u"/StatusNotifierWatcher"_s, WatcherService,
                                                  u"StatusNotifierHostRegistered"_s));
        QTRY_COMPARE(laterTold.size(), 1);
        life.controller->applicationWillTerminate();
        xcb_set_selection_owner(x, XCB_NONE, selection, XCB_CURRENT_TIME); // the tray goes
        xcb_flush(x);
    }

    // A call of `method` on the menu at `path` of the application's connection, as a panel
    // makes it: a call not answered ends in a timeout error.
    QDBusMessage menuCall(const QString& path, const QString& method, const QVariantList& arguments,
                          const QString& interface = u"com.canonical.dbusmenu"_s)
    {
        QDBusMessage message = QDBusMessage::createMethodCall(
            QDBusConnection::sessionBus().baseService(), path, interface, method);
        message.setArguments(arguments);
        QDBusPendingCallWatcher pending(m_desktop.asyncCall(message, 10000));
        [&] {
            QVERIFY(QSignalSpy(&pending, &QDBusPendingCallWatcher::finished).wait(deadline(20000)));
        }();
        return pending.reply();
    }

    // Asking for the tray's host, registering the icon and telling of no tray start no service:
    // a desktop without a watcher or a notifier has none to start, and a helper the bus could
    // start instead would hold the question until the bus gave up on it. On a bus of its own
    // that could start both.
    void askingTheDesktopStartsNothing()
    {
        TestAccount folder;
        const QString config = folder.path(u"bus.conf"_s), services = folder.path(u"services"_s);
        for (const QString& name : {WatcherService, NotificationService})
            QVERIFY(writeFile(services + u'/' + name + u".service"_s,
                              "[D-BUS Service]\nName=" + name.toUtf8() + "\nExec=/bin/sleep 60\n"));
        const QString busConfig = uR"(<busconfig><type>session</type><auth>EXTERNAL</auth>
<listen>unix:tmpdir=%1</listen><servicedir>%2</servicedir><policy context="default">
<allow send_destination="*" eavesdrop="true"/><allow eavesdrop="true"/><allow own="*"/>
</policy></busconfig>)"_s;
        QVERIFY(writeFile(config, busConfig.arg(folder.path(u"tmp"_s), services).toUtf8()));
        QProcess daemon;
        daemon.start(u"dbus-daemon"_s,
                     {u"--config-file="_s + config, u"--nofork"_s, u"--print-address=1"_s});
        // What the bus has started, and what that has started in turn.
        const std::function<QByteArray(qint64)> started = [&](qint64 parent) {
            QByteArray all;
            for (const QByteArray& child :
                 readAll(u"/proc/%1/task/%1/children"_s.arg(parent)).split(' '))
                if (child.toLongLong() > 0)
                    all += child + ' ' + started(child.toLongLong());
            return all;
        };
        const auto reap = qScopeGuard([&] {
            QDBusConnection::disconnectFromBus(u"activating"_s);
            for (const QByteArray& child : started(daemon.processId()).split(' '))
                if (child.toInt() > 0)
                    ::kill(child.toInt(), SIGKILL);
            daemon.kill();
            daemon.waitForFinished();
        });
        QTRY_VERIFY_WITH_TIMEOUT(daemon.canReadLine(), deadline(10000));
        QDBusConnection bus = QDBusConnection::connectToBus(
            QString::fromUtf8(daemon.readLine().trimmed()), u"activating"_s);
        QVERIFY(bus.isConnected());
        TrayHostWatch watch(bus, {}, 200ms);
        watch.start();
        StatusNotifierItem item(bus, u"id"_s, u"title"_s);
        item.show();
        notifyNoTrayIcon(bus);
        // The bus answers this after it has taken every message sent before it.
        const QDBusMessage ping = bus.call(
            QDBusMessage::createMethodCall(u"org.freedesktop.DBus"_s, u"/org/freedesktop/DBus"_s,
                                           u"org.freedesktop.DBus"_s, u"GetId"_s));
        QCOMPARE(ping.type(), QDBusMessage::ReplyMessage);
        QCOMPARE(started(daemon.processId()), QByteArray());
    }

    // Calls the menu cannot answer, and calls naming more ids than it has entries, are refused
    // with an error at once, never left to the caller's timeout; it answers as before after them.
    void menuRefusesWhatItCannotAnswer()
    {
        QMenu menu;
        menu.addAction(u"Copy"_s); // its id is 1
        DBusMenuExporter exporter(QDBusConnection::sessionBus(), u"/Refusing"_s, &menu);
        qDBusRegisterMetaType<MenuEvent>();
        qDBusRegisterMetaType<QList<MenuEvent>>();
        const QVariant many = QVariant::fromValue(QList<int>(100000, 1));
        const std::tuple<QString, QVariantList, QString> calls[] = {
            {u"GetProperty"_s, {1, u"no-such"_s}, u"UnknownProperty"_s},
            {u"GetProperty"_s, {9, u"label"_s}, u"InvalidArgs"_s},
            {u"GetGroupProperties"_s, {many, QStringList()}, u"InvalidArgs"_s},
            {u"AboutToShowGroup"_s, {many}, u"InvalidArgs"_s},
            {u"EventGroup"_s,
             {QVariant::fromValue(QList<MenuEvent>(100000, {1, u"clicked"_s}))},
             u"InvalidArgs"_s},
            {u"AboutToShowGroup"_s, {QVariant::fromValue(QList<int>{0, 1})}, QString()},
            {u"GetProperty"_s, {1, u"label"_s}, QString()}};
        for (const auto& [method, arguments, error] : calls)
            QCOMPARE(menuCall(u"/Refusing"_s, method, arguments).errorName(),
                     error.isEmpty() ? error : u"org.freedesktop.DBus.Error."_s + error);
    }

    // Each kind of entry as a panel reads it: a shortcut with every modifier, a check mark, a
    // radio choice, an icon, a separator; each change announced with the entries' properties;
    // the text's direction; the root's opening from a group, an event or on its own, the ids it
    // does not know named back.
    void menuEntriesAsAPanelReadsThem()
    {
        QMenu menu;
        menu.addAction(u"&Keys && more_"_s)
            ->setShortcut(QKeySequence(Qt::CTRL | Qt::ALT | Qt::SHIFT | Qt::META | Qt::Key_K));
        QAction* check = menu.addAction(u"Check"_s);
        check->setCheckable(true);
        check->setChecked(true);
        QActionGroup radios(&menu);
        radios.addAction(menu.addAction(u"Radio"_s))->setCheckable(true);
        QPixmap red(32, 32);
        red.fill(Qt::red);
        menu.addAction(QIcon(red), u"Icon"_s);
        menu.addSeparator();
        const QString path = u"/Entries"_s;
        DBusMenuExporter exporter(QDBusConnection::sessionBus(), path, &menu);
        const auto shown = [](const QVariantMap& properties) {
            QStringList parts;
            for (const auto& [key, value] : properties.asKeyValueRange())
                parts << key + u'=' +
                             (key == u"shortcut"_s
                                  ? qdbus_cast<DBusMenuShortcut>(value).value(0).join(u'+')
                              : key == u"icon-data"_s
                                  ? QString::number(QImage::fromData(value.toByteArray()).width())
                                  : value.toString());
            return parts.join(u',');
        };
        const auto layout = qdbus_cast<DBusMenuLayoutItem>(
            menuCall(path, u"GetLayout"_s, {0, -1, QStringList()}).arguments().value(1));
        QCOMPARE(layout.id, 0); // the root
        QStringList entries;
        for (const DBusMenuLayoutItem& entry : layout.children)
            entries << shown(entry.properties);
        QCOMPARE(entries,
                 (QStringList{u"enabled=true,label=_Keys & more__,shortcut=Control+Alt+Shift+"
                              "Super+K,visible=true"_s,
                              u"enabled=true,label=Check,toggle-state=1,toggle-type=checkmark,"
                              "visible=true"_s,
                              u"enabled=true,label=Radio,toggle-state=0,toggle-type=radio,"
                              "visible=true"_s,
                              u"enabled=true,icon-data=16,label=Icon,visible=true"_s,
                              u"enabled=true,type=separator,visible=true"_s}));
        const int checkId = layout.children.value(1).id;
        const auto asked = qdbus_cast<QList<DBusMenuItemProperties>>(
            menuCall(path, u"GetGroupProperties"_s,
                     {QVariant::fromValue(QList<int>{checkId}), QStringList{u"toggle-state"_s}})
                .arguments()
                .value(0));
        QCOMPARE(asked.value(0).id, checkId);
        QCOMPARE(shown(asked.value(0).properties), u"toggle-state=1"_s);
        QVERIFY(m_desktop.connect(QDBusConnection::sessionBus().baseService(), path,
                                  u"com.canonical.dbusmenu"_s, u"ItemsPropertiesUpdated"_s, this,
                                  SLOT(heard(QDBusMessage))));
        m_heard.clear();
        check->setChecked(false);
        QTRY_COMPARE(m_heard.size(), 1);
        QCOMPARE(m_heard.first().signature(), u"a(ia{sv})a(ias)"_s);
        const auto updated =
            qdbus_cast<QList<DBusMenuItemProperties>>(m_heard.first().arguments().value(0));
        QCOMPARE(updated.size(), 5);
        QCOMPARE(shown(updated.value(1).properties),
                 u"enabled=true,label=Check,toggle-state=0,toggle-type=checkmark,visible=true"_s);
        check->setChecked(true); // each change is told
        QTRY_COMPARE(m_heard.size(), 2);
        const auto direction = [&] {
            return QDBusReply<QDBusVariant>(
                       menuCall(path, u"Get"_s, {u"com.canonical.dbusmenu"_s, u"TextDirection"_s},
                                u"org.freedesktop.DBus.Properties"_s))
                .value()
                .variant()
                .toString();
        };
        QCOMPARE(direction(), u"ltr"_s);
        QGuiApplication::setLayoutDirection(Qt::RightToLeft);
        const QString rightToLeft = direction();
        QGuiApplication::setLayoutDirection(Qt::LeftToRight);
        QCOMPARE(rightToLeft, u"rtl"_s);
        QSignalSpy opened(&menu, &QMenu::aboutToShow);
        const QDBusMessage group = menuCall(path, u"AboutToShowGroup"_s,
                                            {QVariant::fromValue(QList<int>{0, checkId, 77})});
        QCOMPARE(qdbus_cast<QList<int>>(group.arguments().value(1)), QList<int>{77});
        QCOMPARE(opened.size(), 1);
        // A panel that tells of the root's opening by an event asks the same.
        menuCall(path, u"Event"_s, {0, u"opened"_s, QVariant::fromValue(QDBusVariant(0)), 0u});
        QCOMPARE(opened.size(), 2);
        // And one that asks for one entry at a time, only for the root.
        menuCall(path, u"AboutToShow"_s, {checkId});
        QCOMPARE(opened.size(), 2);
        menuCall(path, u"AboutToShow"_s, {0});
        QCOMPARE(opened.size(), 3);
    }

    // The real application, started as a desktop starts it, twice, beside a runtime folder that
    // cannot hold the lock (read-only; not a folder; one that others may write in, where nothing
    // of ours goes): the second launch hands over to the first, whose server is the only one
    // and has the launch's startup tokens exactly, though the toolkit takes them out of the
    // process (under X11, DESKTOP_STARTUP_ID) once it has used them.
    void twoLaunches_data()
    {
        QTest::addColumn<QString>("runtime");
        QTest::addColumn<int>("mode");
        QTest::newRow("read-only") << u"run"_s << 0555;
        QTest::newRow("not a folder") << u"file/run"_s << 0;
        QTest::newRow("anybody may write") << u"run"_s << 01777;
    }
    void twoLaunches()
    {
        QFETCH(QString, runtime);
        QFETCH(int, mode);
        TestAccount account;
        const QString executable = account.bundle() + u"/Resources/TarvessaAudioServer"_s;
        const QString servers = account.path(u"servers"_s), folder = account.path(runtime);
        QVERIFY(QFile::copy(QStringLiteral(TARVESSA_EXECUTABLE), executable));
        account.writeInfoJson(QJsonObject{{u"TarvessaServerPort"_s, freePort()}});
        account.installRuntime(u"{ env; echo ---; } >>'%1'; exec sleep 600"_s.arg(servers));
        QVERIFY(mode ? QDir().mkpath(folder) &&
                           ::chmod(QFile::encodeName(folder).constData(), mode) == 0
                     : writeFile(account.path(u"file"_s), ""));
        const QStringList tokens{u"DESKTOP_STARTUP_ID=tarvessa-1 x=y_TIME42"_s,
                                 u"XDG_ACTIVATION_TOKEN=a b=c"_s};
        for (const QString& set :
             tokens + QStringList{u"DISPLAY="_s + qEnvironmentVariable("DISPLAY"),
                                  u"XAUTHORITY="_s + qEnvironmentVariable("XAUTHORITY"),
                                  u"QT_QPA_PLATFORM=xcb"_s, u"XDG_RUNTIME_DIR="_s + folder,
                                  u"DBUS_SESSION_BUS_ADDRESS=disabled:"_s})
            account.environment.insert(set.section(u'=', 0, 0), set.section(u'=', 1));
        QProcess first, second; // each killed as it goes, should a check fail
        first.setProcessEnvironment(account.environment);
        second.setProcessEnvironment(account.environment);
        first.start(executable);
        QTRY_VERIFY_WITH_TIMEOUT(readAll(servers).endsWith("---\n"), deadline(20000));
        second.start(executable);
        QVERIFY2(second.waitForFinished(deadline(30000)),
                 second.readAllStandardError().constData());
        QCOMPARE(second.exitCode(), 0);
        const QByteArray dump = '\n' + readAll(servers);
        QCOMPARE(dump.count("\n---\n"), 1);
        for (const QString& token : tokens)
            QVERIFY2(dump.contains('\n' + token.toUtf8() + '\n'), qPrintable(token));
        QVERIFY(!(mode & S_IWOTH) || QDir(folder).isEmpty());
        first.terminate();
        QVERIFY(first.waitForFinished(deadline(30000)));
    }

    // The real application, started by a desktop with a panel, takes the X display it finds and
    // shows its item under the name of its desktop entry, which the panel keeps the item's place
    // and visibility by.
    void realApplicationsItem()
    {
        TestAccount account;
        const QString executable = account.bundle() + u"/Resources/TarvessaAudioServer"_s;
        QVERIFY(QFile::copy(QStringLiteral(TARVESSA_EXECUTABLE), executable));
        account.writeInfoJson(QJsonObject{{u"TarvessaServerPort"_s, freePort()}});
        account.installRuntime(u"exec sleep 600"_s);
        account.environment.insert(u"XDG_RUNTIME_DIR"_s, account.root());
        for (const char* name : {"DISPLAY", "XAUTHORITY", "DBUS_SESSION_BUS_ADDRESS"})
            account.environment.insert(QString::fromLatin1(name), qEnvironmentVariable(name));
        QStringList registered;
        connect(m_watcher, &FakeWatcher::registered, m_context.get(),
                [&](const QString& item) { registered << item; });
        m_desktop.unregisterService(WatcherService);
        QVERIFY(m_desktop.registerService(WatcherService));
        // A Wayland session with its X server (Xwayland), as GNOME's: X is asked, Wayland not.
        account.environment.insert(u"XDG_SESSION_TYPE"_s, u"wayland"_s);
        account.environment.insert(u"WAYLAND_DISPLAY"_s, u"wayland-0"_s);
        QLocalServer wayland;
        QVERIFY(wayland.listen(account.path(u"wayland-0"_s)));
        QProcess application; // killed as it goes, should a check fail
        application.setProcessEnvironment(account.environment);
        application.start(executable);
        QTRY_COMPARE_WITH_TIMEOUT(registered.size(), 1, deadline(20000));
        QVERIFY(!wayland.hasPendingConnections());
        const QDBusMessage id = call(registered.first(), u"/StatusNotifierItem"_s,
                                     u"org.freedesktop.DBus.Properties.Get"_s,
                                     {u"org.kde.StatusNotifierItem"_s, u"Id"_s});
        QCOMPARE(id.arguments().value(0).value<QDBusVariant>().variant().toString(),
                 u"io.tarvessa.tarvessa-audio-server"_s);
        application.terminate();
        QVERIFY(application.waitForFinished(deadline(30000)));
    }

    // The file manager asked over the session bus, within a limit of 2 s, or no bus at all.
    void showServerLog_data()
    {
        QTest::addColumn<int>("delayMs"); // below 0: no file manager on the bus, so no answer
        QTest::addColumn<QString>("bus"); // the connection's address; empty: the session bus
        QTest::addColumn<bool>("opened"); // its folder opened instead
        QTest::newRow("answers at once") << 0 << QString() << false;
        QTest::newRow("answers late, within the limit") << 600 << QString() << false;
        QTest::newRow("not there: its folder is opened") << -1 << QString() << true;
        QTest::newRow("answers past the limit: its folder, once") << 4000 << QString() << true;
        QTest::newRow("no bus: its folder at once") << -1 << u"disabled:"_s << true;
        QTest::newRow("a bus nobody runs") << -1 << u"unix:path=/nonexistent/bus"_s << true;
    }
    void showServerLog()
    {
        QFETCH(int, delayMs);
        QFETCH(QString, bus);
        QFETCH(bool, opened);
        const bool there = delayMs >= 0;
        m_fileManager->delayMs = there ? deadline(delayMs) : delayMs; // as the limit stretches
        m_fileManager->answered = 0;
        m_opened.clear();
        QVERIFY(!there || m_desktop.registerService(FileManagerService));
        QDesktopServices::setUrlHandler(u"file"_s, this, "open");
        const QString log = u"/var/my state #1/server.log"_s; // a space and a "#" end no address
        const QStringList folder{QFileInfo(log).path()};
        DesktopWorkspace workspace(bus.isEmpty() ? QDBusConnection::sessionBus()
                                                 : QDBusConnection::connectToBus(bus, bus),
                                   std::chrono::milliseconds(deadline(2000)));
        const QDeadlineTimer soon(deadline(1000));
        workspace.revealFile(log);
        QVERIFY(!soon.hasExpired()); // asked without waiting: its answer decides later
        if (!bus.isEmpty())          // nobody to ask: at once
            QCOMPARE(m_opened, folder);
        QTRY_COMPARE_WITH_TIMEOUT(m_fileManager->answered.load(), int(there), deadline(10000));
        // Asked again behind the answer (or the bus's "no such service"): by the reply, the
        // application has handled the answer.
        call(FileManagerService, u"/org/freedesktop/FileManager1"_s,
             FileManagerService + u".Sync"_s);
        if (there)
            QCOMPARE(m_fileManager->asked,
                     QStringList{u"file:///var/my%20state%20%231/server.log"_s});
        QCOMPARE(m_opened, opened ? folder : QStringList());
        if (!bus.isEmpty())
            QDBusConnection::disconnectFromBus(bus);
    }
    void cleanup() // also after a failed row, so the next starts from no desktop services
    {
        m_context = std::make_unique<QObject>(); // ends the last test's connections
        for (const QString& service : {WatcherService, FileManagerService, NotificationService})
            m_desktop.unregisterService(service);
        QDesktopServices::unsetUrlHandler(u"file"_s);
    }
};

QTEST_MAIN(SessionBusTest)
#include "tst_session_bus.moc"
