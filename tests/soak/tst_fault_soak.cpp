// Hundreds of random steps over real server processes and a real port: starts, stops,
// restarts, toggles, kills, servers that fail, hang or ignore SIGTERM, an external server
// coming and going, and quits. Once each step has settled, the controller's promises are
// checked against the processes, descriptors and log as they really are.
// SOAK_CYCLES and SOAK_SEED override the number of cycles and the seed.
#include "mode_server.h"
#include "runtime/server_process.h"
#include "test_account.h"

#include <QAction>
#include <QDir>
#include <QNetworkReply>
#include <QRandomGenerator>
#include <QSaveFile>
#include <QTest>

#include <csignal>
#include <set>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

// A process as /proc tells it: its state (empty once it is gone), parent and the signals it
// ignores. The kernel drops a SIGTERM that is ignored; one that is not ends a server at once.
struct ProcStatus
{
    QByteArray state;
    qint64 ppid = 0;
    quint64 ignored = 0;
    bool alive() const { return !state.isEmpty() && !state.startsWith('Z'); }
    bool ignoresTerm() const { return (ignored >> (SIGTERM - 1)) & 1; }
};

ProcStatus procStatus(qint64 pid)
{
    QHash<QByteArray, QByteArray> fields;
    for (const QByteArray& line : readAll(u"/proc/%1/status"_s.arg(pid)).split('\n'))
        fields.insert(line.left(line.indexOf(':')), line.mid(line.indexOf(':') + 1).trimmed());
    return {fields.value("State"), fields.value("PPid").toLongLong(),
            fields.value("SigIgn").toULongLong(nullptr, 16)};
}

// A signal that does not pass the kill() below.
const auto sendSignal = [](qint64 pid, int sig) { return ::syscall(SYS_kill, pid_t(pid), sig); };

std::set<qint64> launchedPids; // every server the controller launched
std::set<qint64> ending;       // servers sent a signal that ends them
bool watchingKills = false;
int watchedKills = 0;
int strayKills = 0;

// The server: it reads how to behave, leaves a helper in its group and, unless silent,
// announces itself listening.
const QString ServerScript = uR"sh(read mode < "$RECORD_DIR/mode"
case $mode in exit1) exit 1 ;; stubborn) trap '' TERM ;; esac
sleep 300 &
[ "$mode" = silent ] || echo $$ > "$RECORD_DIR/listening"
exec sleep 300)sh"_s;
const char* const Modes[] = {"listen", "stubborn", "exit1", "silent"}; // silent: never ready

// The account's port. It answers as a compatible server while an external one is said to be
// there, or while the owned server that announced itself listening is alive; otherwise it
// closes the connection as a closed port would.
struct PortStandIn : ModeServer
{
    QString record;
    bool external = false;
    qint64 listener() const { return readAll(record).trimmed().toLongLong(); }
    void incomingConnection(qintptr descriptor) override
    {
        if (external || procStatus(listener()).alive())
            return ModeServer::incomingConnection(descriptor);
        QTcpSocket().setSocketDescriptor(descriptor);
    }
};

// The test process's open descriptors: how many are files and how many sockets.
std::pair<qsizetype, qsizetype> openDescriptors()
{
    qsizetype files = 0, sockets = 0;
    const auto flags = QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot;
    for (const QFileInfo& fd : QDir(u"/proc/self/fd"_s).entryInfoList(flags))
        ++(fd.symLinkTarget().contains(u"socket:") ? sockets : files);
    return {files, sockets};
}

// The process groups of launched servers, other than `owned`, that still have a live member.
std::set<qint64> groupsLeftBehind(qint64 owned)
{
    std::set<qint64> left;
    for (const QString& pid : QDir(u"/proc"_s).entryList(QDir::Dirs)) {
        const QList<QByteArray> fields =
            readAll(u"/proc/%1/stat"_s.arg(pid)).split(')').last().split(' ');
        if (pid.toLongLong() > 0 && fields.size() > 3 && fields.at(1) != "Z" &&
            launchedPids.contains(fields.at(3).toLongLong()) && fields.at(3).toLongLong() != owned)
            left.insert(fields.at(3).toLongLong());
    }
    return left;
}

bool haveZombieChild()
{
    siginfo_t info{};
    return ::waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid != 0;
}

// The steps, each drawn as often as its letter stands here: starts come often, so that most
// steps meet a live server.
constexpr char Deck[] = "sssttttrrokkeqaa";

} // namespace

// Every kill() this executable makes, the controller's included, passes here: a stop or a
// forced kill may only reach a server the controller launched, and only while that server is
// still our uncollected child, so that its id cannot belong to another process yet.
extern "C" int kill(pid_t pid, int number) noexcept
{
    if (watchingKills && (number == SIGTERM || number == SIGKILL)) {
        ++watchedKills;
        const qint64 target = std::abs(qint64(pid));
        if (!launchedPids.contains(target) || procStatus(target).ppid != ::getpid())
            ++strayKills;
        else if (number == SIGKILL || !procStatus(target).ignoresTerm())
            ending.insert(target);
    }
    return int(sendSignal(pid, number));
}

class FaultSoak : public QObject
{
    Q_OBJECT

    TestAccount account;
    PortStandIn port;
    std::unique_ptr<TarvessaAudioServerAppDelegate> controller;
    std::shared_ptr<ServerProcess> held;
    pid_t decoy = -1;
    QRandomGenerator rng;
    qsizetype baseFiles = 0;
    qsizetype baseSockets = 0;
    bool expectNoServer = false;
    QByteArray mode;

    // The servers launched that are alive, still our children.
    static std::set<qint64> liveServers()
    {
        std::set<qint64> live;
        for (qint64 pid : launchedPids)
            if (const ProcStatus stat = procStatus(pid); stat.alive() && stat.ppid == ::getpid())
                live.insert(pid);
        return live;
    }

    void makeController()
    {
        controller = account.makeController(ControllerTimings{20ms, 10, 150ms, 200ms});
        controller->buildStatusMenu();
        controller->installEventFilter(this);
        controller->detectOrStartServer(rng.bounded(2) == 0);
    }

    // Each launch is followed by a new readiness wait, a child of the controller: the moment
    // to note the new server. One told to fail is as good as ended.
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::ChildAdded && watched == controller.get() &&
            controller->serverProcess &&
            launchedPids.insert(controller->serverProcess->processId()).second && mode == "exit1")
            ending.insert(controller->serverProcess->processId());
        return false;
    }

    // How the servers launched from now on behave. None can listen while an external server
    // holds the port. Replaced at once, so that a server starting meanwhile never reads it empty.
    void setMode(const char* next)
    {
        mode = port.external ? "exit1" : next;
        QSaveFile file(account.path(u"mode"_s));
        file.open(QIODevice::WriteOnly);
        file.write(mode);
        file.commit();
    }

    bool probing() const
    {
        return std::ranges::any_of(controller->findChildren<QNetworkReply*>(),
                                   [](const QNetworkReply* reply) { return !reply->isFinished(); });
    }

    // Nothing left to happen without a new step: no wait, probe, end on its way or unhandled.
    bool settled() const
    {
        const auto& process = controller->serverProcess;
        if ((controller->readinessTimer && controller->readinessTimer->isActive()) || probing())
            return false;
        if (process && (!process->isRunning() || ending.contains(process->processId())))
            return false;
        return !haveZombieChild() && !(expectNoServer && (process || !liveServers().empty()));
    }

    // At the moment the server has ended and been collected, before the controller has handled
    // its end: where a click lands when the two arrive together.
    void actAsItEnds(const std::function<void()>& action)
    {
        held = controller->serverProcess; // the action may drop it inside its own signal
        connect(held.get(), &ServerProcess::finished, this, action, Qt::DirectConnection);
        ending.insert(held->processId());
        sendSignal(held->processId(), SIGKILL);
    }

    // Runs the step a letter of the deck stands for.
    void runStep(char step)
    {
        TarvessaAudioServerAppDelegate& c = *controller;
        const bool owned = c.serverProcess && c.serverProcess->isRunning();
        const qint64 pid = owned ? c.serverProcess->processId() : -1;
        // A stop is the last word unless an action waits for a server's end; it also cancels
        // what a probe still out would start.
        const bool lastWord = !held;
        const bool either = rng.bounded(2);
        expectNoServer = false;
        if (step == 's') {
            either ? c.startServer(false) : c.detectOrStartServer(rng.bounded(2) == 0);
        } else if (step == 't') {
            // A stop, or the menu's toggle (only while offered); a stop always ends the
            // server, by force if need be.
            either ? c.toggleServerMenuItem->trigger() : c.stopOwnedServer();
            ending.insert(pid);
            expectNoServer = (owned || !either) && lastWord;
        } else if (step == 'r') {
            c.restartServerMenuItem->trigger();
        } else if (step == 'o') {
            c.openWebInterface();
        } else if (step == 'k' && owned) {
            ending.insert(pid);
            sendSignal(pid, SIGKILL);
        } else if (step == 'e') { // an external server comes or goes, only on a free port
            port.external = !port.external && !c.serverProcess && liveServers().empty();
            setMode(mode);
        } else if (step == 'q') {
            c.applicationWillTerminate();
            controller.reset(); // the application exits; its server ends on its own
            if (pid > 0) {
                // Collected on the application's behalf; one ignoring SIGTERM is killed.
                if (procStatus(pid).ignoresTerm())
                    sendSignal(pid, SIGKILL);
                ::waitpid(pid_t(pid), nullptr, 0);
            }
            makeController();
        } else if (step == 'a' && owned) {
            // A stop as the server ends, after a restart or followed by a start.
            if (either)
                c.restartServerMenuItem->trigger();
            actAsItEnds([this, either] {
                controller->stopOwnedServer();
                if (!either)
                    controller->toggleServerMenuItem->trigger();
            });
            expectNoServer = either && lastWord;
        }
    }

    void checkPromises()
    {
        const TarvessaAudioServerAppDelegate& c = *controller;
        const qint64 owned = c.serverProcess ? c.serverProcess->processId() : 0;
        // At most one server of ours alive, and that one owned; no zombie, no stray signal.
        QVERIFY(liveServers() == (owned ? std::set{owned} : std::set<qint64>{}));
        QVERIFY(!haveZombieChild());
        QCOMPARE(strayKills, 0);
        // Nothing of an ended server's group stays behind: its helpers end soon after it.
        QVERIFY(QTest::qWaitFor([owned] { return groupsLeftBehind(owned).empty(); }, 5000));

        // The menu tells the state as it is. Only a server that never answered stays ours
        // after a failure.
        using Case = ServerState::Case;
        const Case kind = c.serverState.kind();
        const QString message = c.serverState.message();
        QVERIFY(kind != Case::starting); // with nothing left to happen
        if (owned)
            QVERIFY(kind == Case::running ? port.listener() == owned
                                          : message.startsWith(u"Server did not become ready"));
        QCOMPARE(c.statusMenuItem->text(), kind == Case::stopped ? u"Server stopped"_s
                                           : kind == Case::failed
                                               ? QString(message).replace(u'&', u"&&"_s)
                                           : owned ? u"Server running"_s
                                                   : u"Server running (external)"_s);

        // A live server holds its process descriptor and the log, and nothing else of it stays
        // open. Probe connections may stay for reuse, up to six to a host.
        held.reset();
        QVERIFY(QTest::qWaitFor(
            [&] {
                const auto [files, sockets] = openDescriptors();
                return files <= baseFiles + (owned ? 2 : 0) && sockets <= baseSockets + 6;
            },
            10000));
        // One launch header for each launch.
        QCOMPARE(readAll(c.serverLogURL().toLocalFile()).count("--- Tarvessa Audio Server launch"),
                 qsizetype(launchedPids.size()));
    }

private slots:
    void soakOverRealProcesses()
    {
        const int cycles = qEnvironmentVariable("SOAK_CYCLES", u"300"_s).toInt();
        const quint32 seed = qEnvironmentVariable("SOAK_SEED", u"20260305"_s).toUInt();
        qInfo("soak: %d cycles, seed %u (SOAK_CYCLES and SOAK_SEED override)", cycles, seed);
        rng.seed(seed);
        port.record = account.path(u"listening"_s);
        account.writeInfoJson(QJsonObject{{u"TarvessaServerPort"_s, port.serverPort()}});
        account.environment.insert(u"RECORD_DIR"_s, account.root());
        account.installRuntime(ServerScript);
        // A process of ours the controller never launched: no signal of its may reach it.
        // (Forked by hand: QProcess's vfork-style start upsets ThreadSanitizer.)
        if ((decoy = ::fork()) == 0)
            ::_exit(::execl("/bin/sleep", "sleep", "600", nullptr)); // exits only if it cannot run
        setMode("silent");
        makeController();
        QVERIFY(QTest::qWaitFor([this] { return settled(); }, 10000));
        std::tie(baseFiles, baseSockets) = openDescriptors();
        baseFiles -= controller->serverProcess ? 2 : 0;
        watchingKills = true;

        for (int cycle = 1; cycle <= cycles; ++cycle) {
            setMode(Modes[rng.bounded(4)]);
            for (int burst = rng.bounded(4) == 0 ? 2 : 1; burst > 0; --burst)
                runStep(Deck[rng.bounded(int(sizeof Deck - 1))]);
            QTest::qWaitFor([this] { return settled(); }, 10000)
                ? checkPromises()
                : QTest::qFail("never settled", __FILE__, __LINE__);
            if (QTest::currentTestFailed())
                return qWarning("soak: broken promise after cycle %d, seed %u", cycle, seed);
        }
        QVERIFY2(procStatus(decoy).alive(), "a signal reached the decoy");
        QVERIFY(watchedKills > 0); // the controller's signals did pass the check
    }

    void cleanupTestCase()
    {
        watchingKills = false;
        controller.reset();
        for (qint64 pid : launchedPids)
            if (procStatus(pid).ppid == ::getpid()) {
                sendSignal(-pid, SIGKILL); // the server's whole group
                ::waitpid(pid_t(pid), nullptr, 0);
            }
        if (decoy > 0 && sendSignal(decoy, SIGKILL) == 0)
            ::waitpid(decoy, nullptr, 0);
    }
};

QTEST_MAIN(FaultSoak)
#include "tst_fault_soak.moc"
