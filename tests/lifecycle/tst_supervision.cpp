// The supervised server over real processes and a real port: the readiness probe and wait, the
// launch, the server's end, stops, restarts and quits, and what must not outlive the
// application. Shell scripts stand in for the runtime.
#include "lifecycle.h"

#include "controller/quit_signals.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QMenu>
#include <QNetworkProxy>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSignalSpy>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <linux/close_range.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace Qt::StringLiterals;
using Case = ServerState::Case;

// What asks for the web interface or a start.
enum class Asked
{
    open,
    reopen, // a second launch, handed over to the running one
    launch,
    launchAtLogin,
    restart
};

// How a server comes to its end.
enum class Ending
{
    byItself,
    stop,
    quit,
    restartThenStop,
    stopWithoutGuard // its guard killed from outside first
};

// The guard in a server's group, or 0.
qint64 guardOf(qint64 server)
{
    QList<qint64> guard = processes({}, server);
    guard.removeIf(
        [](qint64 member) { return readAll(u"/proc/%1/comm"_s.arg(member)) != "server guard\n"; });
    return guard.size() == 1 ? guard.first() : 0;
}

// Kills the guard in a server's group, as someone outside might, and waits until it has gone.
// The guard names itself once forked, maybe after the server has begun. Gone means no thread
// of it left: under ThreadSanitizer the sanitizer's own thread outlives the main one, and holds
// the guard's socket open while it unmaps the shadow memory.
void killGuardOf(qint64 server)
{
    qint64 guard = 0;
    QTRY_VERIFY_WITH_TIMEOUT((guard = guardOf(server)) != 0, deadline(5000));
    ::kill(static_cast<pid_t>(guard), SIGKILL);
    const QString threads = u"/proc/%1/task"_s.arg(guard);
    QTRY_VERIFY(!liveGroupOf(guard) &&
                QDir(threads).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size() <= 1);
}

// As on Linux before 5.3, in this process and those it forks: pidfd_open fails with ENOSYS,
// and so does close_range asked to mark descriptors close-on-exec.
bool actAsLinuxBefore5_3()
{
    sock_filter code[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_pidfd_open, 3, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_close_range, 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[2])),
        BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, CLOSE_RANGE_CLOEXEC, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    const sock_fprog program{static_cast<unsigned short>(std::size(code)), code};
    return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

// As under a limit on processes, in this process and those it forks: no fork succeeds.
bool refuseForks()
{
    sock_filter code[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_clone, 2, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_clone3, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EAGAIN),
    };
    const sock_fprog program{static_cast<unsigned short>(std::size(code)), code};
    return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

class SupervisionTest : public QObject
{
    Q_OBJECT

    ModeServer m_elsewhere; // compatible, where a redirect points and where proxies lead

private slots:
    // Ticks of 80 ms, a probe at each, against a port that answers at once or after a delay: a
    // wait ends at the first compatible answer and gives up at the sixth tick, not one before
    // or after. The probe goes straight to 127.0.0.1, whatever proxy the environment names, and
    // follows no redirect. Nothing is printed on standard error.
    void readinessWait_data()
    {
        QTest::addColumn<QByteArray>("answer"); // empty: nothing listens
        QTest::addColumn<int>("delayMs");
        QTest::addColumn<int>("again"); // after that many probes a new wait, with no browser asked
        QTest::addColumn<bool>("ready");
        using S = ModeServer;
        const QByteArray notYet = S::response(503, "");
        const QByteArray elsewhere =
            "http://127.0.0.1:" + QByteArray::number(m_elsewhere.serverPort()) + "/api/app-mode";
        QTest::newRow("ready: the browser opens once") << S::compatible() << 0 << -1 << true;
        QTest::newRow("a new wait keeps the browser request") << S::compatible() << 0 << 0 << true;
        QTest::newRow("another mode")
            << S::response(200, R"({"mode":"other"})") << 0 << -1 << false;
        QTest::newRow("redirected to a compatible server")
            << S::response(302, "").replace("\r\n\r\n", "\r\nLocation: " + elsewhere + "\r\n\r\n")
            << 0 << -1 << false;
        QTest::newRow("body cut short")
            << S::compatible().replace("h: 17", "h: 400") << 0 << -1 << false;
        const QByteArray chunked = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                                   "8\r\n{\"mode\":\r\n9;x=y\r\n\"quarle\"}\r\n0\r\n\r\n";
        QTest::newRow("ready, in chunks") << chunked << 0 << -1 << true;
        QTest::newRow("chunks cut short") << chunked.chopped(5) << 0 << -1 << false;
        QTest::newRow("ready, up to the connection's end")
            << "HTTP/1.0 200 OK\r\n\r\n{\"mode\":\"quarle\"}"_ba << 0 << -1 << true;
        QTest::newRow("past the probe's time limit") << S::compatible() << 1500 << -1 << false;
        QTest::newRow("nothing listens") << QByteArray() << 0 << -1 << false;
        QTest::newRow("a new wait counts from zero") << notYet << 0 << 3 << false;
        QTest::newRow("answers overlap the ticks") << notYet << 200 << -1 << false;
    }
    void readinessWait()
    {
        QFETCH(QByteArray, answer);
        QFETCH(int, delayMs);
        QFETCH(int, again);
        QFETCH(bool, ready);
        ModeServer port(answer, delayMs);
        const char* proxies[] = {"http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"};
        for (const char* proxy : proxies)
            qputenv(proxy, "http://127.0.0.1:" + QByteArray::number(m_elsewhere.serverPort()));
        const QNetworkProxy before = QNetworkProxy::applicationProxy();
        QNetworkProxy::setApplicationProxy(
            {QNetworkProxy::HttpProxy, u"127.0.0.1"_s, m_elsewhere.serverPort()});
        const auto noProxy = qScopeGuard([&] {
            QNetworkProxy::setApplicationProxy(before);
            for (const char* proxy : proxies)
                qunsetenv(proxy);
        });
        m_elsewhere.requests = 0;
        Lifecycle life(answer.isEmpty() ? freePort() : port.serverPort(), {80ms, 6, 400ms, 300ms});
        QTest::failOnWarning(QRegularExpression(u"."_s));
        TarvessaAudioServerAppDelegate& c = *life.controller;
        c.waitUntilReady(true);
        qint64 earlier = 0;
        if (again >= 0) {
            QTRY_VERIFY(port.requests >= again);
            earlier = c.readinessAttempts;
            c.waitUntilReady(false);
        }
        QTRY_VERIFY_WITH_TIMEOUT(!c.readinessTimer && c.probesInFlight() == 0, deadline(10000));
        QVERIFY(life.stateIs(ready ? Case::running : Case::failed));
        QCOMPARE(life.account.alerts.shown.size(), ready ? 0 : 1);
        QCOMPARE(life.account.alerts.shown.value(0).informativeText,
                 ready ? QString()
                       : u"Server did not become ready within 60 seconds. Check the server log "
                         "for details."_s);
        QCOMPARE(life.account.workspace.openedUrls, QList<QUrl>(ready, life.url()));
        QCOMPARE(c.openBrowserWhenReady, !ready); // spent only by opening the browser
        if (!ready && delayMs == 0 && !answer.isEmpty()) {
            QCOMPARE(c.readinessAttempts, qint64(6));
            QCOMPARE(qint64(port.requests), earlier + 6);
        }
        QCOMPARE(m_elsewhere.requests, 0);
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

    // What a probe's answer starts: a compatible server that answers is used as it is, and after
    // a stop while the probe is out its answer starts nothing. Only the launch's request to open
    // the browser is kept for the next wait, even when the server that answered was opened.
    void openUsesAServerThatAnswers_data()
    {
        QTest::addColumn<Asked>("asked");
        QTest::addColumn<bool>("stopMeanwhile"); // Start and Stop before a "not ours" answer
        QTest::addColumn<int>("opened");
        QTest::newRow("Open Tarvessa Audio Server") << Asked::open << false << 1;
        QTest::newRow("the launch") << Asked::launch << false << 1;
        QTest::newRow("a second launch") << Asked::reopen << false << 1;
        QTest::newRow("the launch at login") << Asked::launchAtLogin << false << 0;
        QTest::newRow("Restart Server: refused") << Asked::restart << false << 0;
        QTest::newRow("Open, then a stop") << Asked::open << true << 0;
        QTest::newRow("the launch, then a stop") << Asked::launch << true << 0;
        QTest::newRow("Restart with nothing owned, then a stop") << Asked::restart << true << 0;
    }
    void openUsesAServerThatAnswers()
    {
        QFETCH(Asked, asked);
        QFETCH(bool, stopMeanwhile);
        ModeServer port(stopMeanwhile ? ModeServer::response(404, "no") : ModeServer::compatible(),
                        stopMeanwhile ? 250 : 0);
        Lifecycle life(port.serverPort());
        life.account.installRuntime(u"exec sleep 300"_s);
        TarvessaAudioServerAppDelegate& c = *life.controller;
        asked == Asked::open     ? c.openWebInterface()
        : asked == Asked::reopen ? static_cast<void>(c.applicationShouldHandleReopen())
        : asked == Asked::restart
            ? c.restartServer()
            : c.applicationDidFinishLaunching({.launchedAtLogin = asked == Asked::launchAtLogin});
        // Shown stopped while the launch's probe is out: nothing runs yet to restart.
        const bool launching = asked == Asked::launch || asked == Asked::launchAtLogin;
        QVERIFY(!launching || !c.restartServerMenuItem->isEnabled());
        if (stopMeanwhile) {
            c.toggleServer(); // Start
            QVERIFY(c.serverProcess);
            c.toggleServer(); // Stop
        }
        QTRY_VERIFY(c.probesInFlight() == 0 && !c.serverProcess && !c.readinessTimer &&
                    (life.stateIs(Case::running) || life.stateIs(Case::failed)));
        QTEST(int(life.account.workspace.openedUrls.size()), "opened");
        QCOMPARE(c.openBrowserWhenReady, asked == Asked::launch);
        QCOMPARE(port.requests, 1);
        QCOMPARE(life.launches(), int(stopMeanwhile));
        QCOMPARE(c.statusMenuItem->text() == u"Server running (external)"_s,
                 !stopMeanwhile && asked != Asked::restart);
    }

    // An external server is asked again whenever the menu opens: shown as it is while it
    // answers, and stopped, with Start enabled, once it has gone; then no more.
    void anExternalServerThatGoesIsShownStopped()
    {
        ModeServer port;
        Lifecycle life(port.serverPort(), {30ms, 20, 400ms, 10s});
        TarvessaAudioServerAppDelegate& c = *life.controller;
        c.detectOrStartServer(false);
        QTRY_VERIFY(life.stateIs(Case::running) && c.probesInFlight() == 0);
        for (const bool answering : {true, false}) {
            if (!answering)
                port.close();
            emit c.statusMenu()->aboutToShow();
            QTRY_COMPARE(port.requests, 2);
            QTRY_VERIFY(c.probesInFlight() == 0);
            QCOMPARE(c.statusMenuItem->text(),
                     answering ? u"Server running (external)"_s : u"Server stopped"_s);
            QCOMPARE(c.toggleServerMenuItem->isEnabled(), !answering);
        }
        emit c.statusMenu()->aboutToShow(); // stopped now: nothing to ask
        QCOMPARE(c.probesInFlight(), 0);
        QVERIFY(!c.serverProcess);
    }

    // Start, then "Open" while it starts, running once the port answers, then Restart.
    void launchRunAndRestart()
    {
        ModeServer port(ModeServer::response(503, ""));
        Lifecycle life(port.serverPort(), {30ms, 1000, 400ms, 300ms});
        life.account.installRuntime(u"exec sleep 300"_s);
        TarvessaAudioServerAppDelegate& c = *life.controller;
        const int inheritable = ::dup(STDIN_FILENO); // a descriptor of ours, not close-on-exec
        struct sigaction ignore = {}, hangup = {}, brokenPipe = {};
        ignore.sa_handler = SIG_IGN; // as nohup, and as Qt for a broken pipe, may leave them
        ::sigaction(SIGHUP, &ignore, &hangup);
        ::sigaction(SIGPIPE, &ignore, &brokenPipe);
        c.startServer(false);
        ::close(inheritable);
        ::sigaction(SIGHUP, &hangup, nullptr);
        ::sigaction(SIGPIPE, &brokenPipe, nullptr);
        QVERIFY(life.stateIs(Case::starting));
        const qint64 first = c.serverProcess->processId();
        c.openWebInterface(); // not answering yet: a wait for the same server opens the browser
        QTRY_VERIFY(c.openBrowserWhenReady);
        port.answer = ModeServer::compatible();
        QTRY_VERIFY(life.stateIs(Case::running));
        QCOMPARE(c.serverProcess->processId(), first);
        QCOMPARE(life.account.workspace.openedUrls, QList{life.url()});
        // Nothing of ours is inherited but the log as its output.
        const QString proc = u"/proc/%1/"_s.arg(first);
        QTRY_VERIFY(QFileInfo(proc + u"exe"_s).symLinkTarget().endsWith(u"/sleep"_s));
        QCOMPARE(
            QDir(proc + u"fd"_s).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot),
            (QStringList{u"0"_s, u"1"_s, u"2"_s}));
        QCOMPARE(QFileInfo(proc + u"fd/2"_s).symLinkTarget(), c.serverLogURL().toLocalFile());
        // A hangup ignored stays ignored, as whoever started us asked; a broken pipe never is.
        const quint64 ignored = QRegularExpression(u"SigIgn:\\s*(\\w+)"_s)
                                    .match(QString::fromLatin1(readAll(proc + u"status"_s)))
                                    .captured(1)
                                    .toULongLong(nullptr, 16);
        const quint64 hup = quint64(1) << (SIGHUP - 1), pipe = quint64(1) << (SIGPIPE - 1);
        QCOMPARE(ignored & (hup | pipe), hup);
        // Nor in its guard, but /dev/null as its streams, its lifeline and the server's pidfd;
        // it works in "/", holding no folder of the user's busy.
        const QList<qint64> group = processes({}, first);
        QCOMPARE(group.size(), 2);
        const QString guard =
            u"/proc/%1/"_s.arg(group.first() == first ? group.last() : group.first());
        QTRY_COMPARE(QFileInfo(guard + u"cwd"_s).symLinkTarget(), u"/"_s); // set up by then
        QCOMPARE(
            QDir(guard + u"fd"_s).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot),
            (QStringList{u"0"_s, u"1"_s, u"2"_s, u"3"_s, u"4"_s}));

        c.restartServer();
        QTRY_VERIFY(c.serverProcess && c.serverProcess->processId() != first &&
                    life.stateIs(Case::running));
        QVERIFY(life.account.alerts.shown.isEmpty());
        QCOMPARE(life.account.workspace.openedUrls.size(), 1); // a restart opens no browser
        QCOMPARE(life.launches(), 2);
    }

    // Each server leaves a helper deaf to SIGTERM in its group and one outside it, then waits
    // for the go-ahead to end as the row says, or for a stop or quit.
    void theEndOfTheServerDecidesTheState_data()
    {
        QTest::addColumn<QString>("script"); // its SIGTERM trap, %1, then its end once told to go
        QTest::addColumn<Ending>("ending");
        QTest::addColumn<int>("childSignal"); // SIGCHLD 1: ignored before the start, 2: after it
        QTest::addColumn<int>("failure");     // the status the alert names; 0: stopped, no alert
        using enum Ending;
        QTest::newRow("exits 0 by itself") << u"%1exit 0"_s << byItself << 0 << 0;
        QTest::newRow("exits 3") << u"%1exit 3"_s << byItself << 0 << 3;
        QTest::newRow("dies of the stop's SIGTERM") << u"%1"_s << stop << 0 << 15;
        QTest::newRow("catches SIGTERM and exits 0") << u"trap 'exit 0' TERM%1"_s << stop << 0 << 0;
        QTest::newRow("dies of the quit's SIGTERM, quietly") << u"%1"_s << quit << 0 << 0;
        QTest::newRow("ignores SIGTERM: killed") << u"trap '' TERM%1"_s << stop << 0 << 9;
        QTest::newRow("ignores SIGTERM, no guard: killed")
            << u"trap '' TERM%1"_s << stopWithoutGuard << 0 << 9;
        QTest::newRow("a stop cancels a restart") << u"%1"_s << restartThenStop << 0 << 15;
        QTest::newRow("SIGCHLD ignored by whoever started us")
            << u"%1exit 3"_s << byItself << 1 << 3;
        QTest::newRow("its end collected by someone else")
            << u"%1exit 3"_s << byItself << 2 << ServerProcess::UnknownStatus;
    }
    void theEndOfTheServerDecidesTheState()
    {
        QFETCH(QString, script);
        QFETCH(Ending, ending);
        QFETCH(int, childSignal);
        QFETCH(int, failure);
        Lifecycle life;
        life.account.installRuntime(script.arg(QStringLiteral(R"sh(
sh -c "trap '' TERM; exec sleep 301" &
setsid sh -c 'echo $$ > "$RECORD_DIR/outside"; exec sleep 302' &
while [ ! -s "$RECORD_DIR/outside" ]; do sleep 0.02; done
: > "$RECORD_DIR/ready"
while [ ! -e "$RECORD_DIR/go" ]; do sleep 0.02; done
)sh")));
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
        if (ending == Ending::stopWithoutGuard)
            killGuardOf(pid);
        QElapsedTimer sinceStop;
        sinceStop.start();
        if (ending == Ending::restartThenStop)
            c.restartServer();
        if (ending != Ending::byItself) {
            ending == Ending::quit ? c.applicationWillTerminate() : c.toggleServer();
            QVERIFY(!c.readinessTimer);            // no further probes after a stop
            QVERIFY(life.stateIs(Case::starting)); // until it has really ended
        } else
            writeFile(life.account.path(u"go"_s), {});
        QTRY_VERIFY(!c.serverProcess);
        if (failure == SIGKILL) // the forced kill comes when it is due, never before
            QCOMPARE_GE(sinceStop.elapsed(), 400);
        QVERIFY(!c.logHandle && !c.readinessTimer);
        const QString message =
            u"Server exited with status %1. Check the server log for details."_s;
        QCOMPARE(c.serverState,
                 failure ? ServerState::failed(message.arg(failure)) : ServerState::stopped());
        QCOMPARE(life.account.alerts.shown.size(), failure ? 1 : 0);
        // Its helpers end with it, soon after, even when its end was collected by someone else; a
        // process outside its group is never signalled.
        QTRY_VERIFY_WITH_TIMEOUT(processes({}, pid).isEmpty(), deadline(5000));
        QVERIFY(liveGroupOf(readAll(life.account.path(u"outside"_s)).trimmed().toLongLong()));
    }

    // A real application process, this executable acting as one (see main()), owns a server
    // with a helper in its group, and quits or is killed. The server gets one SIGTERM, its
    // shutdown is never cut short, even after the application has gone, and nothing of its group
    // is left in the end: a helper that obeys SIGTERM gets one once the server has ended, and
    // completes its own shutdown too; a server deaf to SIGTERM is killed with its helper when
    // the delay has passed, never before; by the application itself when the server's guard has
    // been killed. Otherwise the application leaves at once, and the guard sleeps until it has
    // something to do.
    void nothingOfTheServerOutlivesTheApplication_data()
    {
        QTest::addColumn<bool>("quits");       // quits on SIGTERM; else killed with SIGKILL
        QTest::addColumn<bool>("deaf");        // the server and its helper ignore SIGTERM
        QTest::addColumn<bool>("guardKilled"); // from outside, before the application's end
        QTest::addColumn<int>("forcedKillMs"); // in the application
        const int slow = 60000, quick = 1500;
        QTest::newRow("quits: one SIGTERM, the shutdown completes")
            << true << false << false << slow;
        QTest::newRow("quits: deaf to SIGTERM, killed")
            << true << true << false << deadline(3000); // time enough for the application to go
        QTest::newRow("quits without the guard: deaf, killed") << true << true << true << quick;
        QTest::newRow("killed: server and helper get SIGTERM") << false << false << false << slow;
        QTest::newRow("killed: deaf to SIGTERM, killed") << false << true << false << quick;
    }
    void nothingOfTheServerOutlivesTheApplication()
    {
        QFETCH(bool, quits);
        QFETCH(bool, deaf);
        QFETCH(int, forcedKillMs);
        TestAccount records;
        const QString record = records.path(u"record"_s);
        // A shutdown that takes a moment, which a second SIGTERM would cut short; then "wait",
        // which a trapped signal interrupts at once. The helper's begins when the server's ends.
        const auto trap = [&](const char* who) {
            return deaf ? u"trap '' TERM\n"_s
                        : u"trap 'trap - TERM; echo %2begun >> \"%1\"; sleep 0.5; echo %2complete "
                          ">> \"%1\"; exit 0' TERM\n"_s.arg(record, QLatin1String(who));
        };
        const QString helper = records.path(u"helper.sh"_s);
        writeFile(helper, (trap("helper ") +
                           u"sleep 300 &\n: > \"%1\"\nwait\n"_s.arg(records.path(u"ready"_s)))
                              .toUtf8());
        writeFile(records.path(u"server.sh"_s),
                  (trap("") + u"sh \"%1\" &\nwait\n"_s.arg(helper)).toUtf8());
        const QByteArray self = QCoreApplication::applicationFilePath().toLocal8Bit();
        const QByteArray folder = records.root().toLocal8Bit();
        const QByteArray delay = QByteArray::number(forcedKillMs);
        // Forked by hand: QProcess's vfork-style start upsets ThreadSanitizer.
        const pid_t application = ::fork();
        if (application == 0)
            ::_exit(::execl(self.data(), self.data(), "--own-a-server", folder.data(), delay.data(),
                            nullptr));
        qint64 server = 0;
        // The server's orphans come to this process, so that the guard's end can be read here.
        ::prctl(PR_SET_CHILD_SUBREAPER, 1);
        const auto cleanUp = qScopeGuard([&] {
            ::kill(application, SIGKILL);
            ::waitpid(application, nullptr, 0);
            for (qint64 pid : processes({}, server))
                ::kill(static_cast<pid_t>(pid), SIGKILL);
            std::ignore =
                QTest::qWaitFor([] { return ::waitpid(-1, nullptr, WNOHANG) < 0; }, deadline(5000));
            ::prctl(PR_SET_CHILD_SUBREAPER, 0);
        });
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(records.path(u"ready"_s)) &&
                                     (server = readAll(records.path(u"server"_s)).toLongLong()),
                                 deadline(10000));
        QVERIFY(processes({}, server).size() >= 2); // the server and its helper
        qint64 guard = 0;
        QTRY_VERIFY_WITH_TIMEOUT((guard = guardOf(server)) != 0, deadline(5000));
        QFETCH(bool, guardKilled);
        if (guardKilled)
            killGuardOf(server);
        ::kill(application, quits ? SIGTERM : SIGKILL);
        QElapsedTimer sinceDeath;
        sinceDeath.start();
        int status = -1;
        QVERIFY(QTest::qWaitFor([&] { return ::waitpid(application, &status, WNOHANG) > 0; },
                                deadline(20000)));
        QCOMPARE(status, quits ? 0 : SIGKILL);
        if (deaf) // the forced kill is the guard's to send, else the application's before it goes
            QCOMPARE(liveGroupOf(server) != 0, !guardKilled);
        QTRY_VERIFY_WITH_TIMEOUT(!liveGroupOf(server), deadline(20000));
        QTRY_VERIFY_WITH_TIMEOUT(processes({}, server).isEmpty(), deadline(20000));
        QCOMPARE(readAll(record),
                 deaf ? QByteArray() : "begun\ncomplete\nhelper begun\nhelper complete\n"_ba);
        if (deaf)
            QCOMPARE_GE(sinceDeath.elapsed(), forcedKillMs);
        if (guardKilled)
            return;
        // Asleep while it waited: a guard that spun would have burnt the whole wait.
        rusage used{};
        QCOMPARE(::wait4(static_cast<pid_t>(guard), nullptr, 0, &used), guard);
        QCOMPARE_LT(used.ru_utime.tv_sec * 1000 + used.ru_utime.tv_usec / 1000 +
                        used.ru_stime.tv_sec * 1000 + used.ru_stime.tv_usec / 1000,
                    200);
    }

    // Whether a server ran or could not (its interpreter missing), the application holds nothing
    // of it once it has gone: neither the start's report, nor the guard's socket, nor the
    // process descriptor.
    void nothingOfAServerStaysOpen()
    {
        TestAccount files;
        const QString broken = files.path(u"broken"_s);
        QVERIFY(writeFile(broken, "#!/no/such/interpreter\n") &&
                QFile::setPermissions(broken, QFile::ReadOwner | QFile::ExeOwner));
        const auto held = [] {
            return QDir(u"/proc/self/fd"_s).entryList(QDir::AllEntries | QDir::System).size();
        };
        const qsizetype before = held();
        for (const QString& program : {broken, u"/bin/true"_s}) {
            ServerProcess server;
            QSignalSpy ended(&server, &ServerProcess::finished);
            const Expected<void> started =
                server.start({program, {}, QDir::tempPath(), QProcessEnvironment()});
            QCOMPARE(started.ok() ? QString() : started.error().description,
                     program == broken ? u"cannot run %1: No such file or directory"_s.arg(broken)
                                       : QString());
            QVERIFY(!started.ok() || ended.wait(deadline(10000)));
        }
        QCOMPARE(held(), before);
    }

    // A signal that comes before the server has begun does to it what it would do to the server,
    // never what the application's handler would: here the child dies of it.
    void aSignalBeforeTheServerBeginsIsNotOurs()
    {
        struct sigaction handled = {}, before = {};
        handled.sa_handler = [](int) {};
        ::sigaction(SIGUSR1, &handled, &before);
        const auto restore = qScopeGuard([&] { ::sigaction(SIGUSR1, &before, nullptr); });
        ServerProcess server(nullptr, [](pid_t pid) {
            if (pid == ::getpid()) // the child, asking for its own
                ::raise(SIGUSR1);
            return openPidFd(pid);
        });
        QSignalSpy ended(&server, &ServerProcess::finished);
        QVERIFY(server
                    .start({u"/bin/sh"_s,
                            {u"-c"_s, u"exit 0"_s},
                            QDir::tempPath(),
                            QProcessEnvironment::systemEnvironment()})
                    .ok());
        QVERIFY(ended.wait(deadline(10000)));
        QCOMPARE(ended.first().first().toInt(), SIGUSR1);
    }

    // A fork refused (too many processes) fails the start with its reason, and leaves nothing of
    // the start open. Tried in a child of this test, which alone is refused forks.
    void aRefusedForkLeavesNothingOpen()
    {
        const pid_t tried = ::fork();
        if (tried == 0) {
            if (!refuseForks())
                ::_exit(1);
            const auto openFiles = [] { return QDir(u"/proc/self/fd"_s).count(); };
            const uint before = openFiles();
            ServerProcess server;
            const Expected<void> started = server.start(
                {u"/bin/true"_s, {}, QDir::tempPath(), QProcessEnvironment::systemEnvironment()});
            ::_exit(started.ok()                                                           ? 2
                    : started.error().description != u"Resource temporarily unavailable"_s ? 3
                    : openFiles() != before                                                ? 4
                                                                                           : 0);
        }
        int status = -1;
        QCOMPARE(::waitpid(tried, &status, 0), tried);
        QCOMPARE(status, 0); // else the exit status above, times 256
    }

    // Where the system refuses process descriptors (no pidfd_open before Linux 5.3, EPERM from a
    // seccomp filter) the server still starts, its end is still seen with its status, and then
    // no longer looked for; the helper it leaves in its group is still ended, and its guard goes
    // with it, looking for it without a descriptor. A kernel that old cannot mark descriptors
    // close-on-exec by range either: none of ours reaches the server.
    void aRefusedProcessDescriptorIsWatchedAnotherWay_data()
    {
        QTest::addColumn<int>("refusal");
        QTest::addColumn<bool>("stopped"); // by SIGTERM, else it exits on its own
        QTest::addColumn<int>("status");
        QTest::newRow("Linux before 5.3, then a stop") << ENOSYS << true << SIGTERM;
        QTest::newRow("a seccomp filter") << EPERM << false << 7;
    }
    void aRefusedProcessDescriptorIsWatchedAnotherWay()
    {
        QFETCH(int, refusal);
        QFETCH(bool, stopped);
        static int refused;
        refused = refusal;
        ServerProcess server(nullptr, [](pid_t) { // in the child, before its guard is forked
            if (refused == ENOSYS && !actAsLinuxBefore5_3())
                ::_exit(99);
            errno = refused;
            return -1;
        });
        const int inheritable = ::dup(STDIN_FILENO); // not close-on-exec
        const auto closeIt = qScopeGuard([&] { ::close(inheritable); });
        QSignalSpy ended(&server, &ServerProcess::finished);
        // The helper writes nowhere, so should a check fail it holds none of our output open.
        const QString script =
            u"sleep 300 >/dev/null 2>&1 &\n"_s + (stopped ? u"wait"_s : u"exit 7"_s);
        const auto environment = QProcessEnvironment::systemEnvironment();
        QVERIFY(
            server.start({u"/bin/sh"_s, {u"-c"_s, script}, QDir::tempPath(), environment}).ok());
        const qint64 pid = server.processId();
        const auto reap = qScopeGuard([&] {
            if (!processes({}, pid).isEmpty())
                ::kill(static_cast<pid_t>(-pid), SIGKILL);
        });
        if (stopped) {
            const QString proc = u"/proc/%1/"_s.arg(pid);
            QTRY_VERIFY(QFileInfo(proc + u"exe"_s).symLinkTarget() !=
                        QCoreApplication::applicationFilePath()); // the shell runs
            QVERIFY(!QFileInfo::exists(proc + u"fd/"_s + QString::number(inheritable)));
            server.terminate();
        }
        QVERIFY(ended.wait(deadline(10000)));
        QTEST(ended.first().first().toInt(), "status");
        QVERIFY(!server.isRunning());
        QVERIFY(std::ranges::none_of(server.findChildren<QTimer*>(), &QTimer::isActive));
        QTRY_VERIFY_WITH_TIMEOUT(processes({}, pid).isEmpty(), deadline(5000));
    }

    // A process object that goes with a server whose guard has gone (killed from outside): the
    // server gets its SIGTERM then, if no stop sent it one, the object goes once it has ended,
    // asleep meanwhile, and a helper left in its group gets its SIGTERM after it, its own shutdown
    // uncut; a server deaf to SIGTERM is killed with its helper when the delay has passed, and
    // has died by the time the object has gone. Watched with a process descriptor or without.
    void aServerWithoutItsGuardEndsWithItsProcessObject_data()
    {
        QTest::addColumn<bool>("deaf");       // the server and its helper ignore SIGTERM
        QTest::addColumn<bool>("descriptor"); // else refused, as by a seccomp filter
        QTest::addColumn<bool>("stopped");    // before the object goes, once the guard has gone
        QTest::newRow("obeys SIGTERM") << false << true << false;
        QTest::newRow("obeys SIGTERM, stopped first") << false << true << true;
        QTest::newRow("obeys SIGTERM, watched without a descriptor") << false << false << false;
        QTest::newRow("deaf: killed when due") << true << true << false;
        QTest::newRow("deaf, watched without a descriptor") << true << false << false;
    }
    void aServerWithoutItsGuardEndsWithItsProcessObject()
    {
        QFETCH(bool, deaf);
        QFETCH(bool, descriptor);
        QFETCH(bool, stopped);
        TestAccount records;
        const QString record = records.path(u"record"_s), ready = records.path(u"ready"_s);
        // A shutdown that takes a moment, which a SIGKILL right after the SIGTERM, or a second
        // SIGTERM, would cut short; RECORD.WHO once begun.
        const QString shutdown = u"trap 'trap - TERM; : > \"%2.%1\"; sleep 0.3; echo %1 >> \"%2\"; "
                                 "exit 0' TERM\n"_s;
        const QString script =
            (deaf ? u"trap '' TERM\nsleep 300 &\n"_s
                  : shutdown.arg(u"server"_s, record) +
                        u"(%1 sleep 300 & wait) &\n"_s.arg(shutdown.arg(u"helper"_s, record))) +
            u": > \"%1\"\nwait\n"_s.arg(ready);
        static bool refused;
        refused = !descriptor;
        auto server = std::make_unique<ServerProcess>(nullptr, [](pid_t pid) {
            errno = EPERM;
            return refused ? -1 : openPidFd(pid);
        });
        const std::chrono::milliseconds delay(deaf ? 1500 : deadline(20000));
        QVERIFY(server
                    ->start({u"/bin/sh"_s,
                             {u"-c"_s, script},
                             QDir::tempPath(),
                             QProcessEnvironment::systemEnvironment(),
                             -1,
                             delay})
                    .ok());
        const qint64 pid = server->processId();
        const auto reap = qScopeGuard([&] {
            ::kill(static_cast<pid_t>(-pid), SIGKILL);
            ::waitpid(static_cast<pid_t>(pid), nullptr, 0);
        });
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(ready), deadline(10000));
        killGuardOf(pid);
        const auto cpuMs = [] {
            rusage used{};
            ::getrusage(RUSAGE_THREAD, &used);
            return (used.ru_utime.tv_sec + used.ru_stime.tv_sec) * 1000 +
                   (used.ru_utime.tv_usec + used.ru_stime.tv_usec) / 1000;
        };
        if (stopped) {
            server->terminate(); // its one SIGTERM, the shutdown begun before the object goes
            QTRY_VERIFY(QFileInfo::exists(record + u".server"_s));
        }
        const auto cpuBefore = cpuMs();
        QElapsedTimer took;
        took.start();
        server.reset();
        QCOMPARE(took.elapsed() >= delay.count(), deaf);
        QCOMPARE_LT(cpuMs() - cpuBefore, 200);
        QCOMPARE(liveGroupOf(pid), 0);
        QTRY_VERIFY_WITH_TIMEOUT(processes({}, pid).isEmpty(), deadline(5000));
        QTRY_COMPARE_WITH_TIMEOUT(readAll(record), deaf ? QByteArray() : "server\nhelper\n",
                                  deadline(5000));
    }
};

int main(int argc, char* argv[])
{
    QApplication application(argc, argv);
    // As an application that owns a server and quits as the real one does, on SIGTERM:
    // --own-a-server RECORDS FORCED_KILL_MS, the server's script in RECORDS/server.sh.
    if (argc == 4 && std::strcmp(argv[1], "--own-a-server") == 0) {
        const QString records = QString::fromLocal8Bit(argv[2]);
        qputenv("TMPDIR", argv[2]); // the account goes with the records, even when this is killed
        TestAccount account;
        account.writeInfoJson(QJsonObject{{u"TarvessaServerPort"_s, freePort()}});
        account.installRuntime(QString::fromUtf8(readAll(records + u"/server.sh"_s)));
        auto controller =
            account.makeController({1s, 1000, std::chrono::milliseconds(atoi(argv[3])), 300ms});
        controller->buildStatusMenu();
        QuitSignals quitSignals;
        QObject::connect(&quitSignals, &QuitSignals::quitRequested, &application,
                         [] { QCoreApplication::quit(); });
        QObject::connect(&application, &QCoreApplication::aboutToQuit, controller.get(),
                         &TarvessaAudioServerAppDelegate::applicationWillTerminate);
        controller->startServer(false);
        if (!controller->serverProcess)
            return 2;
        writeFile(records + u"/server"_s,
                  QByteArray::number(controller->serverProcess->processId()));
        return QApplication::exec();
    }
    SupervisionTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_supervision.moc"
