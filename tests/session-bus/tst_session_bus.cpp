// The desktop's D-Bus services as the application meets them on a private session bus (CTest
// runs this under dbus-run-session and xvfb-run): the tray icon
// registering with a StatusNotifierWatcher and its menu read and clicked over
// com.canonical.dbusmenu, and "Show Server Log" through org.freedesktop.FileManager1.
#include "lifecycle.h"
#include "platform/desktop_services.h"

#include <QAction>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingReply>
#include <QDBusVariant>
#include <QDesktopServices>
#include <QElapsedTimer>
#include <QThread>
#include <atomic>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {
const QString Desktop = u"fake-desktop"_s; // the connection the fake services are served on
const QString WatcherService = u"org.kde.StatusNotifierWatcher"_s;
const QString FileManagerService = u"org.freedesktop.FileManager1"_s;
} // namespace

// A panel's watcher, with a host registered.
class FakeWatcher : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ hostRegistered)

public:
    bool hostRegistered() const { return true; }
public slots:
    void RegisterStatusNotifierItem(const QString& service) { emit registered(service); }
signals:
    void registered(const QString& service);
};

// A file manager that answers after delayMs, with an error if it fails.
class FakeFileManager : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.FileManager1")

public:
    std::atomic<int> delayMs{0};
    std::atomic<bool> fail{false};
public slots:
    void ShowItems(const QStringList& uris, const QString&, const QDBusMessage& call)
    {
        emit shown(uris);
        call.setDelayedReply(true);
        const QDBusMessage reply =
            fail ? call.createErrorReply(QDBusError::Failed, u"no"_s) : call.createReply();
        QTimer::singleShot(delayMs.load(), this, [reply] { QDBusConnection(Desktop).send(reply); });
    }
signals:
    void shown(const QStringList& uris);
};

// Where QDesktopServices sends a folder to open, instead of xdg-open.
class FolderOpener : public QObject
{
    Q_OBJECT
public slots:
    void open(const QUrl& url) { opened.append(url.toLocalFile()); }

public:
    QStringList opened;
};

class SessionBusTest : public QObject
{
    Q_OBJECT

    // Served from a thread of their own, so that the application's blocking calls reach them.
    QThread m_thread;
    FakeWatcher m_watcher;
    FakeFileManager m_fileManager;
    QDBusConnection m_desktop{Desktop};

    // The menu as com.canonical.dbusmenu gives it: "label|shortcut" per entry, "(off)" marking
    // a disabled one, "-" a separator; and the entries' ids.
    static void readEntries(const QDBusArgument& node, QStringList& shown, QList<int>& ids)
    {
        int id = 0;
        QVariantMap properties;
        node.beginStructure();
        node >> id >> properties;
        if (id != 0) {
            const bool off = !properties.value(u"enabled"_s, true).toBool();
            shown << (properties.value(u"type"_s) == u"separator"_s
                          ? u"-"_s
                          : properties.value(u"label"_s).toString() + (off ? u"(off)"_s : u""_s));
            ids << id;
        }
        node.beginArray();
        while (!node.atEnd()) {
            QDBusVariant child;
            node >> child;
            readEntries(qvariant_cast<QDBusArgument>(child.variant()), shown, ids);
        }
        node.endArray();
        node.endStructure();
    }
    static QDBusMessage call(const QString& service, const QString& path, const QString& interface,
                             const QString& method, const QVariantList& arguments)
    {
        QDBusMessage message = QDBusMessage::createMethodCall(service, path, interface, method);
        message.setArguments(arguments);
        QDBusPendingCall pending = QDBusConnection::sessionBus().asyncCall(message);
        // Answered by the application's own objects: the event loop must run meanwhile.
        [&] { QTRY_VERIFY_WITH_TIMEOUT(pending.isFinished(), 10000); }();
        return pending.reply();
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(QDBusConnection::sessionBus().isConnected(), "run under dbus-run-session");
        m_desktop = QDBusConnection::connectToBus(QDBusConnection::SessionBus, Desktop);
        QVERIFY(m_desktop.registerObject(u"/StatusNotifierWatcher"_s, &m_watcher,
                                         QDBusConnection::ExportAllSlots |
                                             QDBusConnection::ExportAllProperties));
        QVERIFY(m_desktop.registerObject(u"/org/freedesktop/FileManager1"_s, &m_fileManager,
                                         QDBusConnection::ExportAllSlots));
        m_watcher.moveToThread(&m_thread);
        m_fileManager.moveToThread(&m_thread);
        m_thread.start();
        QVERIFY(m_desktop.registerService(WatcherService));
    }
    void cleanupTestCase()
    {
        m_desktop.unregisterObject(u"/StatusNotifierWatcher"_s);
        m_desktop.unregisterObject(u"/org/freedesktop/FileManager1"_s);
        QThread* main = thread(); // the members are destroyed here
        QMetaObject::invokeMethod(
            &m_watcher,
            [&] {
                m_watcher.moveToThread(main);
                m_fileManager.moveToThread(main);
            },
            Qt::BlockingQueuedConnection);
        m_thread.quit();
        m_thread.wait();
    }

    void trayMenuOverDBus()
    {
        QString item;
        const auto noted = connect(&m_watcher, &FakeWatcher::registered, this,
                                   [&](const QString& s) { item = s; });
        Lifecycle life;
        life.controller->attachStatusItem();
        QTRY_VERIFY_WITH_TIMEOUT(!item.isEmpty(), 10000);
        disconnect(noted);
        const QDBusMessage menuPath =
            call(item, u"/StatusNotifierItem"_s, u"org.freedesktop.DBus.Properties"_s, u"Get"_s,
                 {u"org.kde.StatusNotifierItem"_s, u"Menu"_s});
        const QString path = qvariant_cast<QDBusVariant>(menuPath.arguments().value(0))
                                 .variant()
                                 .value<QDBusObjectPath>()
                                 .path();
        QVERIFY2(!path.isEmpty(), qPrintable(menuPath.errorMessage()));
        QStringList shown;
        QList<int> ids;
        const auto read = [&] {
            shown.clear();
            ids.clear();
            const QDBusMessage layout = call(item, path, u"com.canonical.dbusmenu"_s,
                                             u"GetLayout"_s, {0, -1, QStringList()});
            readEntries(qvariant_cast<QDBusArgument>(layout.arguments().value(1)), shown, ids);
            return shown.join(u';');
        };
        const QString address = u"http://127.0.0.1:%1"_s.arg(life.port);
        QCOMPARE(read(), u"Open Tarvessa Audio Server;Server stopped(off);%1;-;Start Server;"
                         "Restart Server;-;Start at Login;-;Show Data Folder;Show Server Log;-;"
                         "Quit Tarvessa Audio Server"_s.arg(address));
        QCOMPARE(ids.size(), 13);

        life.controller->updateMenu(ServerState::running()); // not ours: an external server
        QTRY_COMPARE(
            read(), u"Open Tarvessa Audio Server;Server running (external)(off);%1;-;"
                    "Server Managed Externally(off);Restart Server(off);-;Start at Login;-;"
                    "Show Data Folder;Show Server Log;-;Quit Tarvessa Audio Server"_s.arg(address));

        // Clicked in the panel: the address entry copies the address.
        call(item, path, u"com.canonical.dbusmenu"_s, u"Event"_s,
             {ids[2], u"clicked"_s, QVariant::fromValue(QDBusVariant(0)), 0u});
        QTRY_COMPARE(life.account.clipboard.texts, QStringList{address});
    }

    void showServerLog_data()
    {
        QTest::addColumn<int>("delayMs");
        QTest::addColumn<bool>("fail");
        QTest::addColumn<bool>("there");
        QTest::addColumn<bool>("revealed"); // or else its folder is opened
        QTest::newRow("answers at once") << 0 << false << true << true;
        QTest::newRow("answers late, within the bound") << 1000 << false << true << true;
        QTest::newRow("cannot show it") << 0 << true << true << false;
        QTest::newRow("no file manager") << 0 << false << false << false;
    }
    void showServerLog()
    {
        QFETCH(int, delayMs);
        QFETCH(bool, fail);
        QFETCH(bool, there);
        QFETCH(bool, revealed);
        m_fileManager.delayMs = delayMs;
        m_fileManager.fail = fail;
        if (there)
            QVERIFY(m_desktop.registerService(FileManagerService));
        QStringList asked;
        const auto noted = connect(&m_fileManager, &FakeFileManager::shown, this,
                                   [&](const QStringList& uris) { asked = uris; });
        FolderOpener opener;
        QDesktopServices::setUrlHandler(u"file"_s, &opener, "open");
        TestAccount account; // a space and a "#" in the path must not end the address
        account.environment.insert(u"XDG_STATE_HOME"_s, account.path(u"my state #1"_s));
        DesktopWorkspace workspace;
        TarvessaAudioServerAppDelegate controller({account.alerts, workspace, account.clipboard,
                                                   account.loginItems, account.folders(), [] {}});
        const QString log = controller.serverLogURL().toLocalFile();
        QVERIFY(writeFile(log, "a run\n"));
        QElapsedTimer clock;
        clock.start();
        controller.showServerLog();
        QVERIFY(clock.elapsed() < 1000); // asked without waiting: its answer decides later
        const QString uri =
            u"file://%1/my%20state%20%231/Tarvessa%20Audio%20Server/server.log"_s.arg(
                account.root());
        QTRY_COMPARE(asked, there ? QStringList{uri} : QStringList());
        QTRY_COMPARE(opener.opened, revealed ? QStringList() : QStringList{QFileInfo(log).path()});
        QDesktopServices::unsetUrlHandler(u"file"_s);
        if (there)
            QVERIFY(m_desktop.unregisterService(FileManagerService));
        disconnect(noted);
    }
};

QTEST_MAIN(SessionBusTest)
#include "tst_session_bus.moc"
