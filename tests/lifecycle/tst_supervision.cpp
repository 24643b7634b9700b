// Launching the server, handling its end, and stopping, restarting and toggling it, with shell
// scripts standing in for the runtime.
#include "lifecycle.h"

#include <QDir>
#include <QFileInfo>

#include <cstdlib>
#include <sys/wait.h>

using namespace Qt::StringLiterals;

namespace {
// Stands in for a server that runs until it is signalled.
const QString RunsUntilSignalled = u"exec sleep 300"_s;

QString readRecord(const Lifecycle& life, const QString& name)
{
    return QString::fromUtf8(readAll(life.account.path(name))).trimmed();
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
tr '\0' '\n' < /proc/$$/environ > "$RECORD_DIR/env"
echo "$$ $(cut -d' ' -f5,6 /proc/$$/stat)" > "$RECORD_DIR/group"
echo "server output"; echo "server errors" >&2
exec sleep 300)sh"));
        life.controller->startServer(false);
        QVERIFY(life.controller->serverProcess);
        QVERIFY(life.stateIs(ServerState::Case::starting));
        QVERIFY(life.controller->readinessTimer);
        QTRY_VERIFY(QFileInfo::exists(life.account.path(u"group"_s)));

        const QString resources = life.account.bundle() + u"/Resources"_s;
        QCOMPARE(readRecord(life, u"args"_s),
                 u"1\n"_s + resources + u"/app/build/server/index.js"_s);
        QCOMPARE(readRecord(life, u"cwd"_s), resources + u"/app"_s);

        // Exactly the prepared environment, as the runtime received it (before the shell added
        // its own variables).
        QStringList received = readRecord(life, u"env"_s).split(u'\n');
        QStringList expected = life.controller->serverEnvironment().toStringList();
        received.sort();
        expected.sort();
        QCOMPARE(received, expected);

        // Its own process group, so a forced stop reaches its helpers too.
        const QStringList group = readRecord(life, u"group"_s).split(u' ');
        QCOMPARE(group.at(1), group.at(0));
        QCOMPARE(group.at(2), group.at(0));

        // Standard output and error are the log; nothing else of ours is inherited.
        const qint64 pid = life.controller->serverProcess->processId();
        const QString proc = u"/proc/%1"_s.arg(pid);
        QTRY_VERIFY(QFileInfo(proc + u"/exe"_s).symLinkTarget().endsWith(u"/sleep"_s));
        const QString log = life.controller->serverLogURL().toLocalFile();
        const QStringList fds =
            QDir(proc + u"/fd"_s).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
        QCOMPARE(fds, (QStringList{u"0"_s, u"1"_s, u"2"_s}));
        QCOMPARE(QFileInfo(proc + u"/fd/1"_s).symLinkTarget(), log);
        QCOMPARE(QFileInfo(proc + u"/fd/2"_s).symLinkTarget(), log);
        QTRY_VERIFY(life.logText().contains(u"server errors"_s));
        QVERIFY(life.logText().startsWith(u"\n--- Tarvessa Audio Server launch "_s));
    }

    void theEndOfTheServerDecidesTheState_data()
    {
        QTest::addColumn<QString>("script");
        QTest::addColumn<int>("stop"); // 0: none, 1: the menu's stop, 2: the application quits
        QTest::addColumn<QString>("failure");
        const QString runs = u": > \"$RECORD_DIR/ready\"\nexec sleep 300"_s;
        QTest::newRow("exits 0 by itself") << u"exit 0"_s << 0 << QString();
        QTest::newRow("exits 3") << u"exit 3"_s << 0 << u"3"_s;
        QTest::newRow("dies of the stop's SIGTERM") << runs << 1 << u"15"_s;
        QTest::newRow("catches SIGTERM and exits 0")
            << u"trap 'kill $child; exit 0' TERM\nsleep 300 &\nchild=$!\n"
               ": > \"$RECORD_DIR/ready\"\nwait"_s
            << 1 << QString();
        QTest::newRow("dies of the quit's SIGTERM, quietly") << runs << 2 << QString();
        QTest::newRow("ignores SIGTERM: killed") << u"trap '' TERM\n"_s + runs << 1 << u"9"_s;
    }
    void theEndOfTheServerDecidesTheState()
    {
        QFETCH(QString, script);
        QFETCH(int, stop);
        QFETCH(QString, failure);
        Lifecycle life;
        life.account.installRuntime(script);
        life.controller->startServer(false);
        QVERIFY(life.controller->serverProcess);
        if (stop) {
            QTRY_VERIFY(QFileInfo::exists(life.account.path(u"ready"_s)));
            stop == 1 ? life.controller->toggleServer()
                      : life.controller->applicationWillTerminate();
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
            const QString message = u"Server exited with status %1. Check the server "
                                    "log for details."_s.arg(failure);
            QCOMPARE(life.controller->serverState, ServerState::failed(message));
            QCOMPARE(life.account.alerts.shown.size(), 1);
            QCOMPARE(life.account.alerts.shown.first().informativeText, message);
        }
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

        life.controller->waitUntilReady(true); // a browser request waits
        life.controller->restartServer();
        QVERIFY(life.controller->restartAfterTermination);
        QVERIFY(!life.controller->openBrowserWhenReady); // a restart opens no browser
        QTRY_VERIFY(ownedPid(life) > 0 && ownedPid(life) != first);
        QVERIFY(!life.controller->restartAfterTermination);
        QTRY_VERIFY(life.stateIs(ServerState::Case::running));
        QVERIFY(life.account.alerts.shown.isEmpty());
        QCOMPARE(life.account.workspace.openedUrls.size(), 1);
        QCOMPARE(life.logText().count(u"--- Tarvessa Audio Server launch"_s), 2);
    }

    // (Stop and restart meeting, in either order, are the soak's.)
    void stopWithNothingRunningShowsStopped()
    {
        Lifecycle life;
        life.controller->updateMenu(ServerState::failed(u"earlier"_s));
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

    void brokenBundlesAreReported_data()
    {
        QTest::addColumn<QString>("breakage"); // what is done to a working bundle
        QTest::addColumn<QString>("message");  // ending in "…" when only its start is fixed
        const QString runtime = u"The bundled Node.js runtime is missing or not "
                                "executable."_s;
        QTest::newRow("no runtime") << u"rm runtime/bin/node"_s << runtime;
        QTest::newRow("runtime not executable") << u"chmod 400 runtime/bin/node"_s << runtime;
        QTest::newRow("no server") << u"rm app/build/server/index.js"_s
                                   << u"The bundled Tarvessa Audio server is "
                                      "missing."_s;
        QTest::newRow("runtime the system cannot run")
            << u"echo '#!/nonexistent/interpreter' > runtime/bin/node"_s
            << u"Tarvessa Audio Server could not start: …"_s;
    }
    void brokenBundlesAreReported()
    {
        QFETCH(QString, breakage);
        QFETCH(QString, message);
        Lifecycle life;
        life.account.installRuntime(RunsUntilSignalled);
        const QString resources = life.account.bundle() + u"/Resources"_s;
        QVERIFY(std::system(qPrintable(u"cd '%1' && %2"_s.arg(resources, breakage))) == 0);
        life.account.alerts.answers.enqueue(1); // "OK": nothing is shown from disk
        life.controller->startServer(false);
        // Known before the call returns, with nothing running and no log handle held.
        QVERIFY(!life.controller->serverProcess && !life.controller->logHandle);
        QVERIFY(life.stateIs(ServerState::Case::failed));
        const QString shown = life.controller->serverState.message();
        QVERIFY2(message.endsWith(u'…') ? shown.startsWith(message.chopped(1)) : shown == message,
                 qPrintable(shown));
        QCOMPARE(life.account.alerts.shown.size(), 1);
        // A bundle found broken writes nothing; one that fails only at the start, a header.
        QCOMPARE(QFileInfo::exists(life.account.home() + u"/.local"_s), message.endsWith(u'…'));
    }

    void externalServers()
    {
        ModeServer external;
        {
            Lifecycle life(external.serverPort());
            life.controller->detectOrStartServer(true);
            QTRY_VERIFY(life.stateIs(ServerState::Case::running));
            QVERIFY(!life.controller->serverProcess);
            QCOMPARE(life.controller->toggleServerMenuItem->text(), u"Server Managed Externally"_s);
            QCOMPARE(life.account.workspace.openedUrls.size(), 1);

            life.controller->restartServer();
            QTRY_VERIFY(life.stateIs(ServerState::Case::failed));
            QCOMPARE(life.controller->serverState.message(),
                     u"The server on port %1 was not started by this app, so Tarvessa "
                     "Audio Server cannot restart it."_s.arg(life.port));
            QCOMPARE(life.account.alerts.shown.size(), 1);
            // That quitting signals no process the application did not launch is the soak's.
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
};

QTEST_MAIN(SupervisionTest)
#include "tst_supervision.moc"
