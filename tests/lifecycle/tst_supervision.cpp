// Launching the server, handling its end, and stopping, restarting and toggling it, with shell
// scripts standing in for the runtime.
#include "lifecycle_fixture.h"

#include <QDir>
#include <QFileInfo>

#include <sys/wait.h>

namespace {
// Stands in for a server that runs until it is signalled.
const QString RunsUntilSignalled = QStringLiteral("exec sleep 300");

QString readRecord(const Lifecycle& life, const QString& name)
{
    QFile file(life.account.path(name));
    file.open(QIODevice::ReadOnly);
    return QString::fromUtf8(file.readAll()).trimmed();
}

qint64 ownedPid(const Lifecycle& life)
{
    return life.controller->serverProcess ? life.controller->serverProcess->processId() : -1;
}
} // namespace

class SupervisionTest : public QObject
{
    Q_OBJECT

private slots:
    void launchesTheRuntimeAsTheServerExpects()
    {
        Lifecycle life;
        life.account.installRuntime(QStringLiteral(R"sh(
printf '%s\n' "$#" "$1" > "$RECORD_DIR/args"
pwd > "$RECORD_DIR/cwd"
env > "$RECORD_DIR/env"
echo "$$ $(cut -d' ' -f5,6 /proc/$$/stat)" > "$RECORD_DIR/group"
echo "server output"; echo "server errors" >&2
exec sleep 300)sh"));
        life.controller->startServer(false);
        QVERIFY(life.controller->serverProcess);
        QVERIFY(life.stateIs(ServerState::Case::starting));
        QVERIFY(life.controller->readinessTimer);
        QTRY_VERIFY(QFileInfo::exists(life.account.path(QStringLiteral("group"))));

        const QString resources = life.account.bundle() + QStringLiteral("/Resources");
        QCOMPARE(readRecord(life, QStringLiteral("args")),
                 QStringLiteral("1\n") + resources + QStringLiteral("/app/build/server/index.js"));
        QCOMPARE(readRecord(life, QStringLiteral("cwd")), resources + QStringLiteral("/app"));

        // Exactly the prepared environment: what the shell adds of its own aside.
        const QProcessEnvironment expected = life.controller->serverEnvironment();
        QStringList lines = readRecord(life, QStringLiteral("env")).split(QLatin1Char('\n'));
        QStringList unexpected;
        for (const QString& line : lines) {
            const QString key = line.section(QLatin1Char('='), 0, 0);
            if (expected.contains(key))
                QCOMPARE(line.section(QLatin1Char('='), 1), expected.value(key));
            else if (key != QLatin1String("PWD") && key != QLatin1String("OLDPWD"))
                unexpected.append(key);
        }
        QVERIFY2(unexpected.isEmpty(), qPrintable(unexpected.join(QLatin1Char(' '))));
        QCOMPARE(lines.size() >= expected.keys().size(), true);

        // Its own process group, so a forced stop reaches its helpers too.
        const QStringList group = readRecord(life, QStringLiteral("group")).split(QLatin1Char(' '));
        QCOMPARE(group.at(1), group.at(0));
        QCOMPARE(group.at(2), group.at(0));

        // Standard output and error are the log; nothing else of ours is inherited.
        const qint64 pid = life.controller->serverProcess->processId();
        const QString proc = QStringLiteral("/proc/%1").arg(pid);
        QTRY_VERIFY(QFileInfo(proc + QStringLiteral("/exe"))
                        .symLinkTarget()
                        .endsWith(QLatin1String("/sleep")));
        const QString log = life.controller->serverLogURL().toLocalFile();
        const QStringList fds =
            QDir(proc + QStringLiteral("/fd"))
                .entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
        QCOMPARE(fds, (QStringList{QStringLiteral("0"), QStringLiteral("1"), QStringLiteral("2")}));
        QCOMPARE(QFileInfo(proc + QStringLiteral("/fd/1")).symLinkTarget(), log);
        QCOMPARE(QFileInfo(proc + QStringLiteral("/fd/2")).symLinkTarget(), log);
        QTRY_VERIFY(life.logText().contains(QLatin1String("server errors")));
        QVERIFY(life.logText().startsWith(QLatin1String("\n--- Tarvessa Audio Server launch ")));
    }

    void theEndOfTheServerDecidesTheState_data()
    {
        QTest::addColumn<QString>("script");
        QTest::addColumn<bool>("stop");
        QTest::addColumn<QString>("failure");
        QTest::newRow("exits 0 by itself") << QStringLiteral("exit 0") << false << QString();
        QTest::newRow("exits 3") << QStringLiteral("exit 3") << false << QStringLiteral("3");
        QTest::newRow("dies of the stop's SIGTERM")
            << QStringLiteral(": > \"$RECORD_DIR/ready\"\nexec sleep 300") << true
            << QStringLiteral("15");
        QTest::newRow("catches SIGTERM and exits 0")
            << QStringLiteral("trap 'kill $child; exit 0' TERM\nsleep 300 &\nchild=$!\n"
                              ": > \"$RECORD_DIR/ready\"\nwait")
            << true << QString();
    }
    void theEndOfTheServerDecidesTheState()
    {
        QFETCH(QString, script);
        QFETCH(bool, stop);
        QFETCH(QString, failure);
        Lifecycle life;
        life.account.installRuntime(script);
        life.controller->startServer(false);
        QVERIFY(life.controller->serverProcess);
        if (stop) {
            QTRY_VERIFY(QFileInfo::exists(life.account.path(QStringLiteral("ready"))));
            life.controller->toggleServer();
            QVERIFY(!life.controller->readinessTimer);          // no further probes after a stop
            QVERIFY(life.stateIs(ServerState::Case::starting)); // until it has really ended
        }
        QTRY_VERIFY(!life.controller->serverProcess);
        QVERIFY(!life.controller->logHandle);
        QVERIFY(!life.controller->readinessTimer);
        if (failure.isEmpty()) {
            QVERIFY2(life.stateIs(ServerState::Case::stopped),
                     qPrintable(life.controller->serverState.message()));
            QVERIFY(life.account.alerts.shown.isEmpty());
        } else {
            const QString message = QStringLiteral("Server exited with status %1. Check the server "
                                                   "log for details.")
                                        .arg(failure);
            QCOMPARE(life.controller->serverState, ServerState::failed(message));
            QCOMPARE(life.account.alerts.shown.size(), 1);
            QCOMPARE(life.account.alerts.shown.first().informativeText, message);
        }
    }

    void aServerIgnoringSigtermIsKilledWithItsHelpers()
    {
        Lifecycle life;
        life.account.installRuntime(QStringLiteral(
            "trap '' TERM\nsleep 300 &\necho $! > \"$RECORD_DIR/helper\"\nexec sleep 301"));
        life.controller->startServer(false);
        QTRY_VERIFY(!readRecord(life, QStringLiteral("helper")).isEmpty());
        const qint64 helper = readRecord(life, QStringLiteral("helper")).toLongLong();
        life.controller->stopOwnedServer();
        QTRY_VERIFY(!life.controller->serverProcess);
        QCOMPARE(life.controller->serverState.message(),
                 QStringLiteral("Server exited with status 9. Check the server log for details."));
        QTRY_VERIFY(processIsGone(helper));
    }

    void restartStartsANewServerWithoutAnAlert()
    {
        ModeServer answering; // the port answers, so each server is seen running
        Lifecycle life(answering.serverPort());
        life.account.installRuntime(RunsUntilSignalled);
        life.controller->startServer(true);
        QTRY_VERIFY(life.stateIs(ServerState::Case::running));
        QCOMPARE(life.account.workspace.openedUrls.size(), 1);
        const qint64 first = ownedPid(life);

        life.controller->openBrowserWhenReady = true;
        life.controller->restartServer();
        QVERIFY(life.controller->restartAfterTermination);
        QVERIFY(!life.controller->openBrowserWhenReady); // a restart opens no browser
        QTRY_VERIFY(ownedPid(life) > 0 && ownedPid(life) != first);
        QVERIFY(!life.controller->restartAfterTermination);
        QTRY_VERIFY(life.stateIs(ServerState::Case::running));
        QVERIFY(life.account.alerts.shown.isEmpty());
        QCOMPARE(life.account.workspace.openedUrls.size(), 1);
        QCOMPARE(life.logText().count(QLatin1String("--- Tarvessa Audio Server launch")), 2);
    }

    void stopAndRestartInEitherOrder()
    {
        const QString ignoresTerm = QStringLiteral("trap '' TERM\nexec sleep 300");
        {
            // Restart, then stop before the old server ended: the restart is cancelled.
            Lifecycle life;
            life.account.installRuntime(ignoresTerm);
            life.controller->startServer(false);
            QTRY_VERIFY(life.logText().contains(QLatin1String("launch")));
            life.controller->restartServer();
            life.controller->stopOwnedServer();
            QVERIFY(!life.controller->restartAfterTermination);
            QTRY_VERIFY(!life.controller->serverProcess);
            QTest::qWait(50);
            QVERIFY(!life.controller->serverProcess);
            QVERIFY(life.stateIs(ServerState::Case::failed)); // killed: status 9
        }
        {
            // Stop, then restart: the forced stop still comes, and a new server follows.
            Lifecycle life;
            life.account.installRuntime(ignoresTerm);
            life.controller->startServer(false);
            QTRY_VERIFY(life.logText().contains(QLatin1String("launch")));
            const qint64 first = ownedPid(life);
            life.controller->stopOwnedServer();
            life.controller->restartServer();
            QTRY_VERIFY(ownedPid(life) > 0 && ownedPid(life) != first);
            QVERIFY(life.stateIs(ServerState::Case::starting));
            QVERIFY(life.account.alerts.shown.isEmpty());
        }
    }

    void stopWithNothingRunningShowsStopped()
    {
        Lifecycle life;
        life.controller->updateMenu(ServerState::failed(QStringLiteral("earlier")));
        life.controller->stopOwnedServer();
        QVERIFY(life.stateIs(ServerState::Case::stopped));
        QVERIFY(!life.controller->serverProcess);
    }

    void startWhileOwningAServer()
    {
        Lifecycle life;
        life.account.installRuntime(RunsUntilSignalled);
        life.controller->startServer(false);
        const auto process = life.controller->serverProcess;
        life.controller->readinessTimer->stop();
        life.controller->startServer(false); // no effect at all
        QCOMPARE(life.controller->serverProcess, process);
        QVERIFY(!life.controller->readinessTimer->isActive());
        life.controller->startServer(true); // only a new wait that will open the browser
        QCOMPARE(life.controller->serverProcess, process);
        QVERIFY(life.controller->readinessTimer->isActive());
        QVERIFY(life.controller->openBrowserWhenReady);
    }

    void brokenBundlesAreReported()
    {
        {
            Lifecycle life;                         // no runtime at all
            life.account.alerts.answers.enqueue(1); // "OK": nothing is shown from disk
            life.controller->startServer(false);
            QCOMPARE(life.controller->serverState.message(),
                     QStringLiteral("The bundled Node.js runtime is missing or not executable."));
            QVERIFY(!QFileInfo::exists(life.account.home() + QStringLiteral("/.local")));
        }
        {
            Lifecycle life;
            life.account.installRuntime(RunsUntilSignalled);
            QFile(life.account.bundle() + QStringLiteral("/Resources/runtime/bin/node"))
                .setPermissions(QFile::ReadOwner);
            life.controller->startServer(false);
            QCOMPARE(life.controller->serverState.message(),
                     QStringLiteral("The bundled Node.js runtime is missing or not executable."));
        }
        {
            Lifecycle life;
            life.account.installRuntime(RunsUntilSignalled);
            QFile::remove(life.account.bundle() +
                          QStringLiteral("/Resources/app/build/server/index.js"));
            life.account.alerts.answers.enqueue(1);
            life.controller->startServer(false);
            QCOMPARE(life.controller->serverState.message(),
                     QStringLiteral("The bundled Tarvessa Audio server is missing."));
            QVERIFY(!QFileInfo::exists(life.account.home() + QStringLiteral("/.local")));
        }
        {
            // A runtime the system cannot execute: known before the call returns.
            Lifecycle life;
            life.account.installRuntime(RunsUntilSignalled);
            QFile runtime(life.account.bundle() + QStringLiteral("/Resources/runtime/bin/node"));
            runtime.open(QIODevice::WriteOnly | QIODevice::Truncate);
            runtime.write("#!/nonexistent/interpreter\n");
            runtime.close();
            life.controller->startServer(false);
            QVERIFY(!life.controller->serverProcess);
            QVERIFY(!life.controller->logHandle);
            const QString message = life.controller->serverState.message();
            QVERIFY2(message.startsWith(QLatin1String("Tarvessa Audio Server could not start: ")) &&
                         message.endsWith(QLatin1String("No such file or directory")),
                     qPrintable(message));
            QCOMPARE(life.logText().count(QLatin1Char('\n')), 2); // the header alone
        }
    }

    void externalServers()
    {
        ModeServer external;
        {
            Lifecycle life(external.serverPort());
            life.controller->detectOrStartServer(true);
            QTRY_VERIFY(life.stateIs(ServerState::Case::running));
            QVERIFY(!life.controller->serverProcess);
            QCOMPARE(life.controller->toggleServerMenuItem->text(),
                     QStringLiteral("Server Managed Externally"));
            QCOMPARE(life.account.workspace.openedUrls.size(), 1);

            life.controller->restartServer();
            QTRY_VERIFY(life.stateIs(ServerState::Case::failed));
            QCOMPARE(
                life.controller->serverState.message(),
                QStringLiteral("The server on port %1 was not started by this app, so Tarvessa "
                               "Audio Server cannot restart it.")
                    .arg(life.port));
            QCOMPARE(life.account.alerts.shown.size(), 1);

            life.controller->applicationWillTerminate(); // an external server is never touched
            QVERIFY(external.isListening());
        }
        {
            // The toggle makes no probe: it starts a server of its own all the same.
            Lifecycle life(external.serverPort());
            life.account.installRuntime(RunsUntilSignalled);
            life.controller->toggleServer();
            QVERIFY(life.controller->serverProcess);
            QVERIFY(life.stateIs(ServerState::Case::starting));
        }
    }

    void aServerOutlivesTheApplicationToFinishItsShutdown()
    {
        ControllerTimings timings = fastTimings();
        timings.forcedKillDelay = std::chrono::seconds(20); // no forced kill during the shutdown
        Lifecycle life(freePort(), timings);
        life.account.installRuntime(
            QStringLiteral("trap 'sleep 0.3; : > \"$RECORD_DIR/finished\"; exit 0' TERM\n"
                           ": > \"$RECORD_DIR/ready\"\nsleep 300 &\nwait"));
        life.controller->startServer(false);
        QTRY_VERIFY(QFileInfo::exists(life.account.path(QStringLiteral("ready"))));
        const pid_t pid = static_cast<pid_t>(ownedPid(life));
        life.controller->applicationWillTerminate();
        life.controller.reset(); // the application has gone; the server was only asked to stop
        QTRY_VERIFY(QFileInfo::exists(life.account.path(QStringLiteral("finished"))));
        int status = 0;
        QCOMPARE(::waitpid(pid, &status, 0), pid);
        QVERIFY(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        life.controller = life.account.makeController(fastTimings());
    }

    void quittingWhileStartingStopsQuietly()
    {
        Lifecycle life;
        life.account.installRuntime(RunsUntilSignalled);
        life.controller->startServer(false);
        life.controller->applicationWillTerminate();
        QVERIFY(life.controller->isQuitting);
        QVERIFY(!life.controller->readinessTimer); // no probe after the quit began
        QTRY_VERIFY(!life.controller->serverProcess);
        QVERIFY(life.stateIs(ServerState::Case::stopped)); // killed by SIGTERM, yet no failure
        QVERIFY(life.account.alerts.shown.isEmpty());
    }
};

QTEST_MAIN(SupervisionTest)
#include "tst_supervision.moc"
