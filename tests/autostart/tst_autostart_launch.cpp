// A launch by the autostart entry: the tray icon waits for the desktop's tray host while the
// server does not, no browser opens, and the real application still starts with an option it
// does not know.
#include "controller/app_delegate.h"
#include "platform/tray_host.h"
#include "runtime/server_process.h"
#include "support/mode_server.h"
#include "support/test_account.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QElapsedTimer>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QSystemTrayIcon>
#include <QTest>

#include <signal.h>

using namespace std::chrono_literals;

namespace {

ControllerTimings quickTimings()
{
    ControllerTimings timings;
    timings.readinessTick = 50ms;
    timings.readinessAttemptLimit = 400;
    timings.forcedKillDelay = 2000ms;
    timings.probeTimeout = 500ms;
    return timings;
}

void usePort(TestAccount& account, const ModeServer& server)
{
    account.writeInfoJson(QJsonObject{{QStringLiteral("TarvessaServerPort"), server.serverPort()}});
}

} // namespace

// Stands in for the panel's StatusNotifierWatcher on a private bus.
class FakeStatusNotifierWatcher : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ isHostRegistered)

public:
    bool isHostRegistered() const
    {
        ++asked;
        return hostRegistered;
    }
    bool hostRegistered = false;
    mutable int asked = 0;

signals:
    void StatusNotifierHostRegistered();
};

class AutostartLaunch : public QObject
{
    Q_OBJECT

private slots:
    void trayIconWaitsForTheHostButTheServerDoesNot()
    {
        TestAccount account;
        ModeServer server;
        usePort(account, server);
        auto controller = account.makeController(quickTimings());
        std::function<void()> hostReady;
        controller->applicationDidFinishLaunching(
            {true}, [&](std::function<void()> ready) { hostReady = std::move(ready); });
        QVERIFY(hostReady);
        QVERIFY(!controller->statusItem);
        QTRY_VERIFY(controller->serverState == ServerState::running());
        QVERIFY(!controller->statusItem);

        hostReady();
        QVERIFY(controller->statusItem);
        QVERIFY(controller->statusItem->isVisible());
        QCOMPARE(controller->statusItem->contextMenu(), controller->statusMenu());
        controller.reset();
        hostReady(); // an answer after the controller has gone does nothing

        // A launch by hand never waits.
        TestAccount byHand;
        usePort(byHand, server);
        auto other = byHand.makeController(quickTimings());
        bool asked = false;
        other->applicationDidFinishLaunching({false}, [&](std::function<void()>) { asked = true; });
        QVERIFY(!asked);
        QVERIFY(other->statusItem);
    }

    void launchAtLoginOpensNoBrowser_data()
    {
        QTest::addColumn<bool>("ownServer");
        QTest::addColumn<bool>("atLogin");
        QTest::newRow("external server, at login") << false << true;
        QTest::newRow("external server, by hand") << false << false;
        QTest::newRow("own server, at login") << true << true;
        QTest::newRow("own server, by hand") << true << false;
    }

    void launchAtLoginOpensNoBrowser()
    {
        QFETCH(bool, ownServer);
        QFETCH(bool, atLogin);
        TestAccount account;
        // An own server is "started" as a process that only sleeps; this server answers for it
        // once it runs.
        ModeServer server(ownServer ? ModeServer::response(503, "{}") : ModeServer::compatible());
        usePort(account, server);
        account.installRuntime(QStringLiteral("exec sleep 30"));
        auto controller = account.makeController(quickTimings());
        controller->applicationDidFinishLaunching({atLogin});

        qint64 pid = 0;
        if (ownServer) {
            QTRY_VERIFY(controller->serverState == ServerState::starting());
            pid = controller->serverProcess->processId();
            server.setAnswer(ModeServer::compatible());
        }
        QTRY_VERIFY(controller->serverState == ServerState::running());
        QCOMPARE(controller->serverProcess != nullptr, ownServer);
        QCOMPARE(account.workspace.openedUrls,
                 atLogin ? QList<QUrl>() : QList<QUrl>{controller->serverURL});
        QVERIFY(account.alerts.shown.isEmpty());

        controller->applicationWillTerminate();
        if (ownServer) {
            QTRY_VERIFY(!controller->serverProcess);
            QCOMPARE(::kill(static_cast<pid_t>(pid), 0), -1); // reaped: gone for good
        }
    }

    void trayHostWaitEndsAtOnceWithoutASessionBus()
    {
        // The tests' session bus address is "disabled:".
        QDBusConnection bus = QDBusConnection::sessionBus();
        QVERIFY(!bus.isConnected());
        TrayHostWait wait(bus, 30s);
        int answers = 0;
        wait.wait([&] { ++answers; });
        QCOMPARE(answers, 1);
    }

    void trayHostWaitFollowsTheWatcher()
    {
        const QString daemon = QStandardPaths::findExecutable(QStringLiteral("dbus-daemon"));
        if (daemon.isEmpty())
            QSKIP("dbus-daemon is not installed");
        QProcess busProcess; // killed and reaped by its destructor, whatever happens
        busProcess.start(daemon, {QStringLiteral("--session"), QStringLiteral("--nofork"),
                                  QStringLiteral("--print-address=1")});
        QVERIFY(busProcess.waitForStarted());
        QTRY_VERIFY(busProcess.canReadLine());
        const QString address = QString::fromUtf8(busProcess.readLine().trimmed());
        QDBusConnection panel = QDBusConnection::connectToBus(address, QStringLiteral("panel"));
        QDBusConnection app = QDBusConnection::connectToBus(address, QStringLiteral("app"));
        QVERIFY(panel.isConnected() && app.isConnected());
        const QString service = QStringLiteral("org.kde.StatusNotifierWatcher");
        FakeStatusNotifierWatcher watcher;

        // No watcher yet: the wait goes on; the watcher comes, still without a host; then the
        // host registers with it.
        TrayHostWait late(app, 20s);
        int lateAnswers = 0;
        late.wait([&] { ++lateAnswers; });
        QVERIFY(panel.registerObject(QStringLiteral("/StatusNotifierWatcher"), &watcher,
                                     QDBusConnection::ExportAllProperties |
                                         QDBusConnection::ExportAllSignals));
        QVERIFY(panel.registerService(service));
        QTRY_VERIFY(watcher.asked >= 1);
        QCOMPARE(lateAnswers, 0);
        watcher.hostRegistered = true;
        emit watcher.StatusNotifierHostRegistered();
        QTRY_COMPARE(lateAnswers, 1);

        // A host already there ends the wait at once.
        TrayHostWait ready(app, 20s);
        int readyAnswers = 0;
        ready.wait([&] { ++readyAnswers; });
        QTRY_COMPARE(readyAnswers, 1);

        // With no host at all, the bound ends it.
        QVERIFY(panel.unregisterService(service));
        QTRY_VERIFY(!app.interface()->isServiceRegistered(service).value());
        TrayHostWait none(app, 300ms);
        int noneAnswers = 0;
        QElapsedTimer clock;
        clock.start();
        none.wait([&] { ++noneAnswers; });
        QTRY_COMPARE(noneAnswers, 1);
        QVERIFY(clock.elapsed() >= 300);
        QCOMPARE(lateAnswers + readyAnswers, 2); // each answered exactly once

        QDBusConnection::disconnectFromBus(QStringLiteral("panel"));
        QDBusConnection::disconnectFromBus(QStringLiteral("app"));
        busProcess.terminate();
        QVERIFY(busProcess.waitForFinished(10000));
    }

    void unknownOptionIsReportedAndTheApplicationRuns()
    {
        TestAccount account;
        ModeServer server;
        usePort(account, server);
        const QString binary = account.bundle() + QStringLiteral("/bin/TarvessaAudioServer");
        QVERIFY(QDir().mkpath(account.bundle() + QStringLiteral("/bin")));
        QVERIFY(QFile::copy(QStringLiteral(TARVESSA_APPLICATION), binary));
        const QString runtime = account.path(QStringLiteral("run"));
        QVERIFY(QDir().mkpath(runtime));
        QFile(runtime).setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QProcessEnvironment environment = account.environment;
        environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime);
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), QStringLiteral("disabled:"));

        QProcess application; // killed and reaped by its destructor if the test fails
        application.setProcessEnvironment(environment);
        application.start(binary,
                          {QStringLiteral("--autostart"), QStringLiteral("--no-such-option")});
        QVERIFY(application.waitForStarted());
        QByteArray said;
        QTRY_VERIFY_WITH_TIMEOUT((said += application.readAllStandardError())
                                     .contains("unknown option --no-such-option"),
                                 20000);
        QTRY_VERIFY_WITH_TIMEOUT(server.requests() >= 1, 20000); // it went on to look for a server
        QCOMPARE(application.state(), QProcess::Running);

        application.terminate();
        QTRY_VERIFY_WITH_TIMEOUT(application.state() == QProcess::NotRunning, 20000);
        QCOMPARE(application.exitStatus(), QProcess::NormalExit);
        QCOMPARE(application.exitCode(), 0);
    }
};

QTEST_MAIN(AutostartLaunch)
#include "tst_autostart_launch.moc"
