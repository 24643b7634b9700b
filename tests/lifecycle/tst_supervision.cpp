// The supervised server over real processes and a real port: the readiness probe and wait, the
// launch, the server's end, stops, restarts and quits, what must not outlive the application,
// and a soak of random steps. Shell scripts stand in for the runtime.
#include "lifecycle.h"
#include "readiness/socket_owner.h"

#include <QApplication>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSaveFile>
#include <QScopeGuard>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <set>
#include <sys/wait.h>
#include <unistd.h>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
using Case = ServerState::Case;

namespace {
// Runs `argv` as a child of the test; its standard output is read through `output` if given.
// (Forked by hand: QProcess's vfork-style start upsets ThreadSanitizer.)
pid_t spawn(QList<QByteArray> argv, FILE** output = nullptr)
{
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0)
        return -1;
    std::vector<char*> args;
    for (QByteArray& arg : argv)
        args.push_back(arg.data());
    args.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out[1], STDOUT_FILENO);
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    ::close(out[1]);
    output ? void(*output = ::fdopen(out[0], "r")) : void(::close(out[0]));
    return pid;
}

// Collects our child `pid` within ten seconds: its wait status, or -1.
int collect(pid_t pid)
{
    int status = -1;
    return QTest::qWaitFor([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, 10000) ? status
                                                                                           : -1;
}

QString exitAlert(int status)
{
    return u"Server exited with status %1. Check the server log for details."_s.arg(status);
}

// The soak's server: it reads how to behave, leaves a helper in its group and, unless silent,
// says that it listens.
const QString SoakServer = QStringLiteral(R"sh(read mode < "$RECORD_DIR/mode"
case $mode in exit1) exit 1 ;; stubborn) trap '' TERM ;; esac
sleep 300 &
[ "$mode" = silent ] || echo $$ > "$RECORD_DIR/listening"
exec sleep 300)sh");

// The soak's port: a compatible server while the server that said it listens is alive, a
// closed port otherwise.
struct SoakPort : ModeServer
{
    QString record;
    qint64 listener() const { return readAll(record).trimmed().toLongLong(); }
    void incomingConnection(qintptr descriptor) override
    {
        if (liveGroupOf(listener()))
            return ModeServer::incomingConnection(descriptor);
        QTcpSocket().setSocketDescriptor(descriptor);
    }
};
} // namespace

class SupervisionTest : public QObject
{
    Q_OBJECT

    ModeServer m_elsewhere; // a compatible server that answers are redirected to

private slots:
    // One probe per row: its answer arrives once, and never inside the call.
    void probeJudgesAnswers_data()
    {
        QTest::addColumn<QByteArray>("answer"); // empty: nothing listens
        QTest::addColumn<int>("delayMs");
        QTest::addColumn<bool>("compatible");
        using S = ModeServer;
        const QByteArray redirect =
            "Location: http://127.0.0.1:" + QByteArray::number(m_elsewhere.serverPort()) +
            "/api/app-mode\r\n";
        QTest::newRow("compatible") << S::compatible() << 0 << true;
        QTest::newRow("another mode") << S::response(200, R"({"mode":"other"})") << 0 << false;
        QTest::newRow("mode in another case")
            << S::response(200, R"({"mode":"Quarle"})") << 0 << false;
        QTest::newRow("not an object") << S::response(200, R"(["quarle"])") << 0 << false;
        QTest::newRow("201 with the mode")
            << S::response(201, R"({"mode":"quarle"})") << 0 << false;
        QTest::newRow("redirect to a compatible server")
            << S::response(302, "", redirect) << 0 << false;
        QTest::newRow("body cut short")
            << S::compatible().replace("Content-Length: 17", "Content-Length: 400") << 0 << false;
        QTest::newRow("past the time limit") << S::compatible() << 1500 << false;
        QTest::newRow("nothing listens") << QByteArray() << 0 << false;
        QTest::newRow("another user's compatible server") << QByteArray("node") << 0 << false;
    }
    void probeJudgesAnswers()
    {
        QFETCH(QByteArray, answer);
        QFETCH(int, delayMs);
        QFETCH(bool, compatible);
        ModeServer server(answer);
        server.setDelayMs(delayMs);
        quint16 port = answer.isEmpty() ? freePort() : server.serverPort();
        pid_t other = -1;
        const auto endOther = qScopeGuard([&] {
            if (other > 0 && ::kill(other, SIGKILL) == 0)
                ::waitpid(other, nullptr, 0);
        });
        if (answer == "node") {
            if (::geteuid() != 0)
                QSKIP("needs root to run a server as another user");
            port = freePort();
            other =
                spawn({"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "node", "-e",
                       "require('http').createServer((q, r) => r.end('{\"mode\":\"quarle\"}'))"
                       ".listen(" +
                           QByteArray::number(port) + ", '127.0.0.1')"});
            QTRY_VERIFY_WITH_TIMEOUT(loopbackPortHeldByAnotherUser(port), 10000);
        }
        qputenv("http_proxy", "http://127.0.0.1:9"); // a proxy must not divert a loopback probe
        Lifecycle life(port);
        qunsetenv("http_proxy");
        int calls = 0;
        bool returned = false, answered = false;
        QTest::failOnWarning(
            QRegularExpression(u"."_s)); // nothing printed on standard error either
        life.controller->probeServer([&](bool ok) {
            answered = ok;
            calls += returned ? 1 : 100;
        });
        returned = true;
        QTRY_VERIFY_WITH_TIMEOUT(calls > 0, 5000);
        QTest::qWait(0); // a second completion would be queued by now
        QCOMPARE(calls, 1);
        QCOMPARE(answered, compatible);
    }

    // Ticks of 80 ms against a port that answers at once or says "not yet": each tick is one
    // probe, and the wait gives up at the sixth tick, not one before or after.
    void readinessWait_data()
    {
        QTest::addColumn<bool>("ready");
        QTest::addColumn<int>("delayMs");
        QTest::addColumn<QList<bool>>("waits"); // each wait's browser request
        QTest::addColumn<int>("againAfter");    // the second wait begins after that many probes
        QTest::newRow("ready: the browser opens once") << true << 0 << QList{true} << 0;
        QTest::newRow("ready, no browser asked") << true << 0 << QList{false} << 0;
        QTest::newRow("a new wait keeps the browser request")
            << true << 0 << QList{true, false} << 0;
        QTest::newRow("never ready") << false << 0 << QList{true} << 0;
        QTest::newRow("a new wait counts from zero") << false << 0 << QList{true, false} << 3;
        QTest::newRow("answers overlap the ticks") << false << 200 << QList{true} << 0;
    }
    void readinessWait()
    {
        QFETCH(bool, ready);
        QFETCH(int, delayMs);
        QFETCH(QList<bool>, waits);
        QFETCH(int, againAfter);
        ModeServer port(ready ? ModeServer::compatible() : ModeServer::response(503, ""));
        port.setDelayMs(delayMs);
        Lifecycle life(port.serverPort(), {80ms, 6, 400ms, 1000ms});
        TarvessaAudioServerAppDelegate& c = *life.controller;
        c.waitUntilReady(waits.first());
        qint64 earlier = 0;
        if (waits.size() > 1) {
            QTRY_VERIFY(port.requests() >= againAfter);
            earlier = c.readinessAttempts;
            c.waitUntilReady(waits.last());
        }
        QTRY_VERIFY_WITH_TIMEOUT(!c.readinessTimer && c.probesInFlight() == 0, 10000);
        QVERIFY(life.stateIs(ready ? Case::running : Case::failed));
        QCOMPARE(life.account.alerts.shown.size(), ready ? 0 : 1);
        const QUrl url(u"http://127.0.0.1:%1"_s.arg(life.port));
        QCOMPARE(life.account.workspace.openedUrls, QList<QUrl>(ready && waits.first(), url));
        if (!ready && delayMs == 0) {
            QCOMPARE(c.readinessAttempts, qint64(6));
            QCOMPARE(qint64(port.requests()), earlier + 6);
        }
    }

    // The real timings: a probe every half second, 120 of them (the 60 seconds a failure
    // names), and the forced kill 12 s after a stop.
    void realTimings()
    {
        Lifecycle life(freePort(), ControllerTimings{});
        life.controller->waitUntilReady(false);
        QCOMPARE(life.controller->readinessTimer->intervalAsDuration(), 500ms);
        QCOMPARE(life.controller->timings().readinessAttemptLimit, qint64(120));
        QCOMPARE(life.controller->timings().forcedKillDelay, 12000ms);
    }

    // A compatible server that already answers is used as it is; nothing of ours starts.
    void openUsesAServerThatAnswers_data()
    {
        QTest::addColumn<int>("action");
        QTest::addColumn<int>("opened");
        QTest::newRow("Open Tarvessa Audio Server") << 0 << 1;
        QTest::newRow("the launch") << 1 << 1;
        QTest::newRow("the launch at login") << 2 << 0;
        QTest::newRow("Restart Server: refused") << 3 << 0;
    }
    void openUsesAServerThatAnswers()
    {
        QFETCH(int, action);
        QFETCH(int, opened);
        ModeServer external;
        Lifecycle life(external.serverPort());
        life.account.installRuntime(u"exec sleep 300"_s);
        TarvessaAudioServerAppDelegate& c = *life.controller;
        action == 0   ? c.openWebInterface()
        : action == 3 ? c.restartServer()
                      : c.detectOrStartServer(action == 1);
        QTRY_VERIFY(c.probesInFlight() == 0 && !life.stateIs(Case::stopped));
        QVERIFY(!c.serverProcess && !c.readinessTimer);
        QCOMPARE(life.account.workspace.openedUrls.size(), opened);
        QCOMPARE(external.requests(), 1);
        QCOMPARE(c.statusMenuItem->text(),
                 action < 3 ? u"Server running (external)"_s
                            : u"The server on port %1 was not started by this app, so Tarvessa "
                              "Audio Server cannot restart it."_s.arg(life.port));
        QCOMPARE(life.account.alerts.shown.size(), action < 3 ? 0 : 1);
    }

    // Start, then "Open" while it starts, running once the port answers, then Restart.
    void launchRunAndRestart()
    {
        ModeServer port(ModeServer::response(503, ""));
        Lifecycle life(port.serverPort(), {30ms, 1000, 400ms, 300ms});
        life.account.installRuntime(
            QStringLiteral(R"sh(printf '%s\n' "$#" "$1" "$(pwd)" > "$RECORD_DIR/launch"
tr '\0' '\n' < /proc/$$/environ > "$RECORD_DIR/env"
echo "server errors" >&2
exec sleep 300)sh"));
        TarvessaAudioServerAppDelegate& c = *life.controller;
        c.startServer(false);
        QVERIFY(life.stateIs(Case::starting));
        const qint64 first = c.serverProcess->processId();
        c.openWebInterface(); // not answering yet: the same server, and a wait that opens the
                              // browser
        QTRY_VERIFY(c.openBrowserWhenReady);
        port.setAnswer(ModeServer::compatible());
        QTRY_VERIFY(life.stateIs(Case::running));
        QCOMPARE(c.serverProcess->processId(), first);
        const QUrl url(u"http://127.0.0.1:%1"_s.arg(life.port));
        QCOMPARE(life.account.workspace.openedUrls, QList{url});

        // As the server expects it: its entry script, folder and exactly the prepared environment,
        // and nothing of ours inherited but the log as standard output and error.
        const QString proc = u"/proc/%1/"_s.arg(first);
        QTRY_VERIFY(QFileInfo(proc + u"exe"_s).symLinkTarget().endsWith(u"/sleep"_s));
        const QString resources = life.account.bundle() + u"/Resources"_s;
        QCOMPARE(readAll(life.account.path(u"launch"_s)),
                 (u"1\n%1/app/build/server/index.js\n%1/app\n"_s.arg(resources)).toUtf8());
        QStringList received = QString::fromUtf8(readAll(life.account.path(u"env"_s)))
                                   .split(u'\n', Qt::SkipEmptyParts);
        QStringList expected = c.serverEnvironment().toStringList();
        received.sort();
        expected.sort();
        QCOMPARE(received, expected);
        QCOMPARE(
            QDir(proc + u"fd"_s).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot),
            (QStringList{u"0"_s, u"1"_s, u"2"_s}));
        for (const QString& fd : {u"fd/1"_s, u"fd/2"_s})
            QCOMPARE(QFileInfo(proc + fd).symLinkTarget(), c.serverLogURL().toLocalFile());

        c.restartServer();
        QTRY_VERIFY(c.serverProcess && c.serverProcess->processId() != first &&
                    life.stateIs(Case::running));
        QVERIFY(life.account.alerts.shown.isEmpty());
        QCOMPARE(life.account.workspace.openedUrls.size(), 1); // a restart opens no browser
        QVERIFY(life.logText().startsWith(u"\n--- Tarvessa Audio Server launch "_s));
        QCOMPARE(life.logText().count(u"--- Tarvessa Audio Server launch"_s), 2);
        QVERIFY(life.logText().contains(u"server errors"_s));
    }

    // Each server leaves a helper deaf to SIGTERM in its group and one outside it, then waits
    // for the go-ahead to end as the row says, or for a stop or quit.
    void theEndOfTheServerDecidesTheState_data()
    {
        QTest::addColumn<QString>("trap"); // how it meets SIGTERM
        QTest::addColumn<QString>("end");  // what it does once told to go on
        QTest::addColumn<int>("stop");     // 0: none, 1: the menu's stop, 2: the application quits
        QTest::addColumn<int>("childSignal"); // SIGCHLD 1: ignored before the start, 2: after it
        QTest::addColumn<int>("failure");     // the status the alert names; 0: stopped, no alert
        QTest::newRow("exits 0 by itself") << u""_s << u"exit 0"_s << 0 << 0 << 0;
        QTest::newRow("exits 3") << u""_s << u"exit 3"_s << 0 << 0 << 3;
        QTest::newRow("dies of the stop's SIGTERM") << u""_s << u""_s << 1 << 0 << 15;
        QTest::newRow("catches SIGTERM and exits 0")
            << u"trap 'exit 0' TERM"_s << u""_s << 1 << 0 << 0;
        QTest::newRow("dies of the quit's SIGTERM, quietly") << u""_s << u""_s << 2 << 0 << 0;
        QTest::newRow("ignores SIGTERM: killed") << u"trap '' TERM"_s << u""_s << 1 << 0 << 9;
        QTest::newRow("SIGCHLD ignored by whoever started us")
            << u""_s << u"exit 3"_s << 0 << 1 << 3;
        QTest::newRow("its end collected by someone else")
            << u""_s << u"exit 3"_s << 0 << 2 << ServerProcess::UnknownStatus;
    }
    void theEndOfTheServerDecidesTheState()
    {
        QFETCH(QString, trap);
        QFETCH(QString, end);
        QFETCH(int, stop);
        QFETCH(int, childSignal);
        QFETCH(int, failure);
        Lifecycle life;
        life.account.installRuntime(trap + QStringLiteral(R"sh(
sh -c "trap '' TERM; exec sleep 301" &
setsid sh -c 'echo $$ > "$RECORD_DIR/outside"; exec sleep 302' &
while [ ! -s "$RECORD_DIR/outside" ]; do sleep 0.02; done
: > "$RECORD_DIR/ready"
while [ ! -e "$RECORD_DIR/go" ]; do sleep 0.02; done
)sh") + end);
        const auto restore = qScopeGuard([] { std::signal(SIGCHLD, SIG_DFL); });
        TarvessaAudioServerAppDelegate& c = *life.controller;
        if (childSignal == 1)
            std::signal(SIGCHLD, SIG_IGN);
        c.startServer(false);
        if (childSignal == 2)
            std::signal(SIGCHLD, SIG_IGN); // the system now collects the server's end itself
        const qint64 pid = c.serverProcess->processId();
        QTRY_VERIFY(QFileInfo::exists(life.account.path(u"ready"_s)));
        QVERIFY(processes({}, pid).size() >= 2); // its own group, which holds the helper
        if (stop) {
            stop == 1 ? c.toggleServer() : c.applicationWillTerminate();
            QVERIFY(!c.readinessTimer);            // no further probes after a stop
            QVERIFY(life.stateIs(Case::starting)); // until it has really ended
        } else
            writeFile(life.account.path(u"go"_s), {});
        QTRY_VERIFY(!c.serverProcess);
        QVERIFY(!c.logHandle && !c.readinessTimer);
        QCOMPARE(c.serverState,
                 failure ? ServerState::failed(exitAlert(failure)) : ServerState::stopped());
        QCOMPARE(life.account.alerts.shown.size(), failure ? 1 : 0);
        // Its helpers end with it, soon after; a process outside its group is never signalled.
        if (childSignal != 2) // with its status lost, its group's id is no longer reserved
            QTRY_VERIFY_WITH_TIMEOUT(processes({}, pid).isEmpty(), 5000);
        QVERIFY(liveGroupOf(readAll(life.account.path(u"outside"_s)).trimmed().toLongLong()));
    }

    // The application object goes at once after a quit: the server it asked to stop may finish
    // its shutdown, and is still killed in the end if it ignores the request.
    void aServerOutlivesTheApplicationToFinishItsShutdown_data()
    {
        QTest::addColumn<QString>("trap");
        QTest::addColumn<int>("forcedKillMs");
        QTest::addColumn<int>("status"); // the wait status: 0 for exit 0, else the signal's number
        QTest::newRow("finishes once the application has gone")
            << u"trap 'while [ ! -e \"$RECORD_DIR/gone\" ]; do sleep 0.02; done; exit 0' TERM"_s
            << 60000 << 0;
        QTest::newRow("ignores SIGTERM: killed with its helper")
            << u"trap '' TERM\nsleep 300 &"_s << 400 << SIGKILL;
    }
    void aServerOutlivesTheApplicationToFinishItsShutdown()
    {
        QFETCH(QString, trap);
        QFETCH(int, forcedKillMs);
        QFETCH(int, status);
        Lifecycle life(freePort(), {30ms, 20, std::chrono::milliseconds(forcedKillMs), 300ms});
        life.account.installRuntime(trap +
                                    u"\n: > \"$RECORD_DIR/ready\"\nwhile :; do sleep 0.05; done"_s);
        life.controller->startServer(false);
        QTRY_VERIFY(QFileInfo::exists(life.account.path(u"ready"_s)));
        const pid_t pid = static_cast<pid_t>(life.controller->serverProcess->processId());
        life.controller->applicationWillTerminate();
        life.controller.reset();
        writeFile(life.account.path(u"gone"_s), {});
        QCOMPARE(collect(pid), status);
        QTRY_VERIFY(processes({}, pid).isEmpty());
    }

    // Each way a probe may decide to start a server, then Start and Stop before it answers.
    void aStopCancelsWhatAProbeWouldStart_data()
    {
        QTest::addColumn<int>("trigger");
        QTest::newRow("Open Tarvessa Audio Server") << 0;
        QTest::newRow("the launch") << 1;
        QTest::newRow("Restart Server with nothing owned") << 2;
    }
    void aStopCancelsWhatAProbeWouldStart()
    {
        QFETCH(int, trigger);
        ModeServer notOurs(ModeServer::response(404, "no"));
        notOurs.setDelayMs(250);
        Lifecycle life(notOurs.serverPort());
        life.account.installRuntime(u"exec sleep 300"_s);
        TarvessaAudioServerAppDelegate& c = *life.controller;
        trigger == 0   ? c.openWebInterface()
        : trigger == 1 ? c.detectOrStartServer(true)
                       : c.restartServer();
        c.toggleServer(); // Start
        QVERIFY(c.serverProcess);
        c.toggleServer(); // Stop
        QTRY_VERIFY_WITH_TIMEOUT(c.probesInFlight() == 0 && !c.serverProcess, 5000);
        QTest::qWait(0);
        QVERIFY(!c.serverProcess); // the probe's answer started nothing
        QCOMPARE(life.logText().count(u"--- Tarvessa Audio Server launch"_s), 1);
        QVERIFY(life.account.workspace.openedUrls.isEmpty());
    }

    void theServerDiesWithTheApplication()
    {
        TestAccount account;
        FILE* output = nullptr;
        const pid_t application = spawn({QCoreApplication::applicationFilePath().toLocal8Bit(),
                                         "--own-a-server", account.root().toLocal8Bit()},
                                        &output);
        long long server = 0;
        const bool read = std::fscanf(output, "%lld", &server) == 1;
        std::fclose(output);
        const auto endAll = qScopeGuard([&] { // what a failure would leave
            if (::kill(application, SIGKILL) == 0)
                ::waitpid(application, nullptr, 0);
            if (server > 0 && liveGroupOf(server) == server)
                ::kill(pid_t(server), SIGKILL);
        });
        QVERIFY(read && liveGroupOf(server) == server);
        ::kill(application, SIGKILL); // nothing of the application runs any more
        // Without the death signal it would sleep on for minutes; the deadline is only generous.
        QTRY_VERIFY_WITH_TIMEOUT(!liveGroupOf(server), 10000);
    }

    // Random steps over real servers (listening, deaf to SIGTERM, failing, never ready) and the
    // real port; once each has settled, the promises are checked against /proc. Run as
    // lifecycle_soak; SOAK_CYCLES sets the number of steps and SOAK_SEED the seed.
    void soak()
    {
        const int cycles = qEnvironmentVariableIntValue("SOAK_CYCLES");
        if (cycles <= 0)
            QSKIP("the soak runs as a test of its own, with SOAK_CYCLES");
        const quint32 seed = qEnvironmentVariable("SOAK_SEED", u"20260305"_s).toUInt();
        QRandomGenerator rng(seed);
        SoakPort port;
        const ControllerTimings timings{20ms, 10, 150ms, 200ms};
        Lifecycle life(port.serverPort(), timings);
        port.record = life.account.path(u"listening"_s);
        life.account.installRuntime(SoakServer);
        std::unique_ptr<TarvessaAudioServerAppDelegate>& c = life.controller;
        std::set<qint64> ending;             // servers sent a stop or a kill that ends them
        std::shared_ptr<ServerProcess> held; // a server whose end an action waits for
        bool stopIsLastWord = false;
        const auto settled = [&] {
            const std::shared_ptr<ServerProcess>& process = c->serverProcess;
            siginfo_t zombie{};
            return !(c->readinessTimer && c->readinessTimer->isActive()) &&
                   c->probesInFlight() == 0 &&
                   !(process && (!process->isRunning() || ending.contains(process->processId()) ||
                                 stopIsLastWord)) &&
                   !(::waitid(P_ALL, 0, &zombie, WEXITED | WNOHANG | WNOWAIT) == 0 &&
                     zombie.si_pid);
        };
        for (int cycle = 1; cycle <= cycles; ++cycle) {
            QSaveFile mode(life.account.path(u"mode"_s)); // whole, never read half written
            mode.open(QIODevice::WriteOnly);
            mode.write(std::array{"listen", "stubborn", "exit1", "silent"}[rng.bounded(4)]);
            mode.commit();
            for (int burst = rng.bounded(4) == 0 ? 2 : 1; burst > 0; --burst) {
                const bool owned = c->serverProcess && c->serverProcess->isRunning();
                const pid_t pid = owned ? pid_t(c->serverProcess->processId()) : -1;
                const bool either = rng.bounded(2), lastWord = !held;
                stopIsLastWord = false;
                switch ("sssttttrrokkqaa"[rng.bounded(15)]) {
                case 's':
                    either ? c->startServer(false) : c->detectOrStartServer(rng.bounded(2));
                    break;
                case 't': // the menu's toggle or a stop; a stop ends it, by force if need be
                    either ? c->toggleServerMenuItem->trigger() : c->stopOwnedServer();
                    ending.insert(pid);
                    stopIsLastWord = (owned || !either) && lastWord;
                    break;
                case 'r':
                    c->restartServerMenuItem->trigger();
                    break;
                case 'o':
                    c->openWebInterface();
                    break;
                case 'k':
                    if (owned) {
                        ending.insert(pid);
                        ::kill(pid, SIGKILL);
                    }
                    break;
                case 'q': // the application quits; its server ends and is collected for it
                    c->applicationWillTerminate();
                    held.reset(); // all of the application goes
                    c.reset();
                    if (pid > 0 && ::kill(pid, SIGKILL) == 0)
                        ::waitpid(pid, nullptr, 0);
                    c = life.account.makeController(timings);
                    c->buildStatusMenu();
                    c->detectOrStartServer(either);
                    break;
                case 'a': // a stop the moment the server ends, after a restart or before a start
                    if (!owned)
                        break;
                    if (either)
                        c->restartServerMenuItem->trigger();
                    held = c->serverProcess; // the stop may drop it inside its own signal
                    connect(
                        held.get(), &ServerProcess::finished, this,
                        [&c, &ending, either] {
                            c->stopOwnedServer();
                            if (c->serverProcess) // a later server, which the stop ends too
                                ending.insert(c->serverProcess->processId());
                            if (!either)
                                c->toggleServerMenuItem->trigger();
                        },
                        Qt::DirectConnection);
                    ending.insert(pid);
                    ::kill(pid, SIGKILL);
                    stopIsLastWord = either && lastWord;
                }
            }
            const QByteArray where =
                "after cycle " + QByteArray::number(cycle) + ", seed " + QByteArray::number(seed);
            QVERIFY2(QTest::qWaitFor(settled, 10000), "never settled " + where);
            held.reset();
            ending.clear(); // all ended: a later server may get one of their ids
            const qint64 owned = c->serverProcess ? c->serverProcess->processId() : 0;
            // Nothing runs of a server but the owned one's group: helpers end soon after theirs.
            QVERIFY2(QTest::qWaitFor(
                         [&] {
                             const QList<qint64> left = processes(life.account.root());
                             return std::ranges::all_of(
                                 left, [&](qint64 pid) { return liveGroupOf(pid) == owned; });
                         },
                         5000),
                     "a server or helper left behind " + where);
            // The state as it is: running, if ours, only while it listens; a failure while ours
            // runs only when it never answered; stopped with nothing of ours.
            const Case kind = c->serverState.kind();
            QVERIFY2(kind == Case::running  ? !owned || port.listener() == owned
                     : kind == Case::failed ? !owned || c->serverState.message().startsWith(
                                                            u"Server did not become ready")
                                            : kind == Case::stopped && !owned,
                     "the state misleads " + where);
        }
    }
};

int main(int argc, char* argv[])
{
    // As an application that owns a server, prints its process id and waits to be killed.
    if (argc == 3 && std::strcmp(argv[1], "--own-a-server") == 0) {
        QCoreApplication application(argc, argv);
        ServerProcess server;
        if (server.start({u"/bin/sh"_s,
                          {u"-c"_s, u"exec sleep 300"_s},
                          QString::fromLocal8Bit(argv[2]),
                          QProcessEnvironment::systemEnvironment()}))
            return 1;
        std::printf("%lld\n", static_cast<long long>(server.processId()));
        std::fflush(stdout);
        ::pause();
    }
    QApplication application(argc, argv);
    SupervisionTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_supervision.moc"
