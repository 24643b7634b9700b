// A tray host that comes after the launch, on a private session bus (CTest runs this under
// dbus-run-session and xvfb-run): the icon appears when the host comes and again when it restarts;
// with none in time, the desktop's notification service is told once.
#include "lifecycle.h"
#include "platform/desktop_services.h"
#include "platform/tray_host.h"

#include <QDBusConnection>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QThread>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {
const QString Desktop = u"late-desktop"_s;
const QString WatcherService = u"org.kde.StatusNotifierWatcher"_s;
const QString NotificationService = u"org.freedesktop.Notifications"_s;
} // namespace

// A panel's watcher with its host, and a notification daemon.
class FakeDesktop : public QObject
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

class FakeNotifications : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

public slots:
    uint Notify(const QString&, uint, const QString&, const QString& summary, const QString& body,
                const QStringList&, const QVariantMap&, int)
    {
        emit notified(summary + u'|' + body);
        return 1;
    }
signals:
    void notified(const QString& text);
};

class LateHostTest : public QObject
{
    Q_OBJECT

    // Served from a thread of their own: Qt asks the watcher with blocking calls.
    QThread m_thread;
    FakeDesktop m_watcher;
    FakeNotifications m_notifications;
    QDBusConnection m_desktop{Desktop};

private slots:
    void initTestCase()
    {
        QVERIFY2(QDBusConnection::sessionBus().isConnected(), "run under dbus-run-session");
        m_desktop = QDBusConnection::connectToBus(QDBusConnection::SessionBus, Desktop);
        QVERIFY(m_desktop.registerObject(u"/StatusNotifierWatcher"_s, &m_watcher,
                                         QDBusConnection::ExportAllSlots |
                                             QDBusConnection::ExportAllProperties));
        QVERIFY(m_desktop.registerObject(u"/org/freedesktop/Notifications"_s, &m_notifications,
                                         QDBusConnection::ExportAllSlots));
        m_watcher.moveToThread(&m_thread);
        m_notifications.moveToThread(&m_thread);
        m_thread.start();
    }
    void cleanupTestCase()
    {
        QThread* main = thread();
        QMetaObject::invokeMethod(
            &m_watcher,
            [&] {
                m_watcher.moveToThread(main);
                m_notifications.moveToThread(main);
            },
            Qt::BlockingQueuedConnection);
        m_thread.quit();
        m_thread.wait();
    }

    // First, while nothing has touched the tray: Qt looks for a host once per process.
    void noHostInTimeIsToldOnce_data()
    {
        QTest::addColumn<bool>("daemon");
        QTest::newRow("a notification daemon runs") << true;
        QTest::newRow("none runs") << false;
    }
    void noHostInTimeIsToldOnce()
    {
        QFETCH(bool, daemon);
        if (daemon)
            QVERIFY(m_desktop.registerService(NotificationService));
        QStringList told;
        const auto noted = connect(&m_notifications, &FakeNotifications::notified, this,
                                   [&](const QString& text) { told << text; });
        TrayHostWatch watch(QDBusConnection::sessionBus(), {}, 200ms);
        QSignalSpy noHost(&watch, &TrayHostWatch::noHostYet);
        connect(&watch, &TrayHostWatch::noHostYet, this,
                [] { notifyNoTrayIcon(QDBusConnection::sessionBus()); });
        watch.start();
        QVERIFY(noHost.wait(5000));
        if (daemon) {
            QTRY_COMPARE(told.size(), 1);
            QVERIFY(told[0].contains(u"tarvessa-audio-server --quit"_s));
            QVERIFY(told[0].contains(u"Launch Tarvessa Audio Server again"_s));
            QVERIFY(m_desktop.unregisterService(NotificationService));
        }
        QCOMPARE(noHost.size(), 1);
        QVERIFY(told.size() == (daemon ? 1 : 0));
        disconnect(noted);
    }

    void iconComesWithTheLateHostAndAgainAfterItsRestart()
    {
        int registrations = 0;
        const auto noted =
            connect(&m_watcher, &FakeDesktop::registered, this, [&] { ++registrations; });
        Lifecycle life;
        TrayHostWatch watch(QDBusConnection::sessionBus(), {}, 60s);
        QSignalSpy noHost(&watch, &TrayHostWatch::noHostYet);
        connect(&watch, &TrayHostWatch::hostAppeared, life.controller.get(),
                &TarvessaAudioServerAppDelegate::trayHostAppeared);
        life.controller->applicationDidFinishLaunching({true}, true);
        watch.start();
        QSignalSpy appeared(&watch, &TrayHostWatch::hostAppeared);
        QVERIFY(!appeared.wait(300)); // no host: no icon, however long
        QVERIFY(!life.controller->statusItem);

        QVERIFY(m_desktop.registerService(WatcherService));
        QTRY_VERIFY_WITH_TIMEOUT(registrations == 1, 1000); // within a second of the host
        QVERIFY(life.controller->statusItem->isVisible());

        QVERIFY(m_desktop.unregisterService(WatcherService)); // the panel restarts
        QVERIFY(m_desktop.registerService(WatcherService));
        QTRY_VERIFY_WITH_TIMEOUT(registrations == 2, 1000);
        QCOMPARE(noHost.size(), 0);
        QVERIFY(m_desktop.unregisterService(WatcherService));
        life.controller->applicationWillTerminate();
        disconnect(noted);
    }
};

QTEST_MAIN(LateHostTest)
#include "tst_late_host.moc"
