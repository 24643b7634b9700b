// The soak: the real controller, in process with doubles for the desktop, driven through random
// Start, Stop, Restart and Open over servers (shell scripts) that crash, ignore SIGTERM, start
// slowly, never answer or leave helpers behind, with stops landing while a probe is out. Once
// each cycle has settled it checks what the controller promises against the processes as they
// really are: at most one server of ours, the state shown matching what runs, nothing of an
// ended server's process group left, and descriptors and memory back to their baseline.
//
//   bench_soak [--cycles N] [--seed S]     (bench/soak builds and runs it)
//
// It prints its figures and exits 1 at the first broken promise, naming the cycle and the seed.
#include "lifecycle.h"

#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QSaveFile>

#include <map>
#include <set>
#include <sys/wait.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

// AddressSanitizer holds freed memory back in its quarantine (256 MiB by default), so resident
// memory tells nothing in that build; its leak checker speaks for it instead.
#ifdef __SANITIZE_ADDRESS__
constexpr bool ResidentMemoryTells = false;
#else
constexpr bool ResidentMemoryTells = true;
#endif

using Case = ServerState::Case;

namespace {

// Every server leaves a helper in its group and, unless it never answers, announces itself
// listening. One that ignores SIGTERM answers on until the forced kill; a restart, which sends
// no forced kill, leaves it running as it is.
const QString ServerScript = uR"sh(read mode < "$RECORD_DIR/mode"
case $mode in
crash) sleep 0.1; echo $$ > "$RECORD_DIR/listening"; sleep 0.2; exit 3 ;;
silent) sleep 300 & exec sleep 300 ;;
slow) sleep 0.3 ;;
helpers) sh -c "trap '' TERM; exec sleep 301" & sh -c "sleep 302" & ;;
stubborn) trap '' TERM ;;
esac
sleep 300 &
echo $$ > "$RECORD_DIR/listening"
exec sleep 300)sh"_s;
const char* const Modes[] = {"listen", "crash", "silent", "slow", "helpers", "stubborn"};

enum class Step
{
    start,
    stop,
    restart,
    open,
    crash,           // SIGKILL to the server we own
    stopDuringProbe, // Open, Restart or the launch's detection, and a stop before the answer
};
const char* const StepNames[] = {"start", "stop", "restart", "open", "crash", "stop-during-probe"};
constexpr Step Deck[] = {Step::start,          Step::start, Step::start,   Step::stop,
                         Step::stop,           Step::stop,  Step::restart, Step::restart,
                         Step::open,           Step::open,  Step::crash,   Step::stopDuringProbe,
                         Step::stopDuringProbe};

// A process as /proc/PID/stat tells it; an empty state once it has gone.
struct Stat
{
    char state = 0;
    qint64 parent = 0, group = 0;
    bool alive() const { return state && state != 'Z'; }
};

Stat statOf(qint64 pid)
{
    const QList<QByteArray> fields =
        readAll(u"/proc/%1/stat"_s.arg(pid)).split(')').last().split(' ');
    if (fields.size() < 5)
        return {};
    return {fields.at(1).at(0), fields.at(2).toLongLong(), fields.at(3).toLongLong()};
}

// The port: a compatible server answers while the server that announced itself listening lives;
// otherwise the connection closes as on a closed port. The answer takes a little while, so that
// a stop can land while a probe is out.
struct PortStandIn : QTcpServer
{
    QString record;
    PortStandIn() { listen(QHostAddress::LocalHost); }
    bool answering() const { return statOf(readAll(record).trimmed().toLongLong()).alive(); }
    void incomingConnection(qintptr descriptor) override
    {
        auto* socket = new QTcpSocket(this);
        socket->setSocketDescriptor(descriptor);
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        QTimer::singleShot(20, socket, [this, socket] {
            if (answering()) // a server that has ended meanwhile gives no answer
                socket->write(ModeServer::compatible());
            socket->disconnectFromHost();
        });
    }
};

std::pair<int, int> openDescriptors() // files and sockets of this process
{
    int files = 0, sockets = 0;
    const auto flags = QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot;
    for (const QFileInfo& fd : QDir(u"/proc/self/fd"_s).entryInfoList(flags))
        ++(fd.symLinkTarget().contains(u"socket:") ? sockets : files);
    return {files, sockets};
}

qint64 residentKiB()
{
    const QList<QByteArray> pages = readAll(u"/proc/self/statm"_s).split(' ');
    return pages.size() > 1 ? pages.at(1).toLongLong() * ::sysconf(_SC_PAGESIZE) / 1024 : 0;
}

bool haveUncollectedChild()
{
    siginfo_t info{};
    return ::waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid != 0;
}

// Each launch is followed by a new readiness wait, a child of the controller: the moment to note
// the new server.
struct LaunchWatch : QObject
{
    TarvessaAudioServerAppDelegate* controller = nullptr;
    QString modeFile;
    std::set<qint64> launched;
    std::set<qint64> stubborn, crashing; // the servers that ignore SIGTERM, or end by themselves
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() != QEvent::ChildAdded || watched != controller ||
            !controller->serverProcess ||
            !launched.insert(controller->serverProcess->processId()).second)
            return false;
        const QByteArray mode = readAll(modeFile);
        if (mode == "stubborn" || mode == "crash")
            (mode == "crash" ? crashing : stubborn).insert(controller->serverProcess->processId());
        return false;
    }
};

class Soak
{
public:
    Soak(quint32 seed, double timeFactor) : rng(seed), factor(timeFactor) {}

    int run(int cycles);

private:
    int ms(int milliseconds) const { return int(milliseconds * factor); }
    void setMode(const char* mode);
    void runStep(Step step);
    bool settled() const;
    QString brokenPromise();
    std::set<qint64> liveServers() const;

    PortStandIn port;
    // Ticks of 20 ms, a wait of half a second, the forced kill 300 ms after a stop.
    Lifecycle life{port.serverPort(), {20ms, 25, 300ms, 300ms}};
    TarvessaAudioServerAppDelegate& c = *life.controller;
    LaunchWatch watch;
    QRandomGenerator rng;
    double factor;
    std::set<qint64> ending; // servers told to stop or killed
    bool expectNoServer = false;
    std::pair<int, int> baseDescriptors;
    qint64 baseKiB = 0, maxDriftKiB = 0;
    int maxFileDrift = 0, maxSocketDrift = 0;
    std::map<QString, int> counts;
    QStringList trace; // the cycle's steps, for the report of a broken promise
};

void Soak::setMode(const char* mode)
{
    QSaveFile file(life.account.path(u"mode"_s)); // replaced at once: never read half written
    file.open(QIODevice::WriteOnly);
    file.write(mode);
    file.commit();
    ++counts[u"server "_s + QLatin1String(mode)];
}

std::set<qint64> Soak::liveServers() const
{
    std::set<qint64> live;
    for (qint64 pid : watch.launched)
        if (const Stat stat = statOf(pid); stat.alive() && stat.parent == ::getpid())
            live.insert(pid);
    return live;
}

void Soak::runStep(Step step)
{
    const bool owned = c.serverProcess && c.serverProcess->isRunning();
    const qint64 pid = owned ? c.serverProcess->processId() : 0;
    const bool either = rng.bounded(2);
    expectNoServer = false; // until a stop
    ++counts[QLatin1String(StepNames[int(step)])];
    trace << u"%1 (server %2, %3)"_s.arg(QLatin1String(StepNames[int(step)]))
                 .arg(pid)
                 .arg(c.statusMenuItem->text());
    switch (step) {
    case Step::start: // the menu's toggle reads "Start Server" only with nothing of ours running
        either && !owned ? c.toggleServer() : c.startServer(false);
        break;
    case Step::stop: // a stop always ends our server, by force if need be
        either&& owned ? c.toggleServer() : c.stopOwnedServer();
        ending.insert(pid);
        expectNoServer = true;
        break;
    case Step::restart: // SIGTERM alone: one that ignores it runs on
        c.restartServer();
        if (!watch.stubborn.contains(pid))
            ending.insert(pid);
        break;
    case Step::open:
        c.openWebInterface();
        break;
    case Step::crash:
        if (owned)
            ::kill(pid_t(pid), SIGKILL);
        ending.insert(pid);
        break;
    case Step::stopDuringProbe: // with nothing of ours running, so the answer would start one
        if (owned)
            return runStep(Step::stop);
        either ? c.openWebInterface() : c.detectOrStartServer(rng.bounded(2));
        if (rng.bounded(2))
            c.restartServer();
        QTest::qWait(rng.bounded(15));
        c.stopOwnedServer();
        expectNoServer = true;
        break;
    }
}

// Nothing left to happen without a new step: no wait, probe or end on its way or unhandled.
bool Soak::settled() const
{
    const auto& process = c.serverProcess;
    if ((c.readinessTimer && c.readinessTimer->isActive()) || c.probesInFlight() > 0)
        return false;
    if (process && (!process->isRunning() || ending.contains(process->processId()) ||
                    watch.crashing.contains(process->processId())))
        return false;
    return !haveUncollectedChild() && !(expectNoServer && (process || !liveServers().empty()));
}

// The first promise broken, or an empty string.
QString Soak::brokenPromise()
{
    const qint64 owned = c.serverProcess ? c.serverProcess->processId() : 0;
    const std::set<qint64> live = liveServers();
    if (live != (owned ? std::set{owned} : std::set<qint64>{}))
        return u"%1 servers of ours run, %2 owned"_s.arg(live.size()).arg(owned);
    if (expectNoServer && owned)
        return u"a server runs after a stop"_s;
    if (c.probesInFlight() != 0) // each probe's answer is handled once
        return u"%1 probes counted in flight"_s.arg(c.probesInFlight());

    // The state shown is what runs: running is our server answering (nothing else listens
    // here), and only a server that never answered stays ours after a failure.
    const Case kind = c.serverState.kind();
    const QString message = c.serverState.message();
    if (kind == Case::starting)
        return u"still starting with nothing left to happen"_s;
    if (kind == Case::running && (!owned || readAll(port.record).trimmed().toLongLong() != owned))
        return u"shown running, but %1 answers"_s.arg(owned ? u"another"_s : u"nothing of ours"_s);
    if (owned && kind != Case::running && !message.startsWith(u"Server did not become ready"))
        return u"our server runs, but the state says: "_s + message;
    const QString shown = kind == Case::stopped  ? u"Server stopped"_s
                          : kind == Case::failed ? QString(message).replace(u'&', u"&&"_s)
                                                 : u"Server running"_s;
    if (c.statusMenuItem->text() != shown)
        return u"the menu shows \"%1\", not \"%2\""_s.arg(c.statusMenuItem->text(), shown);

    // An ended server's group is emptied soon after its end: helpers deaf to SIGTERM by the
    // forced kill.
    std::set<qint64> left;
    const auto groupsLeft = [&] {
        left.clear();
        for (const QString& name : QDir(u"/proc"_s).entryList(QDir::Dirs))
            if (const qint64 group = liveGroupOf(name.toLongLong());
                group != owned && watch.launched.contains(group))
                left.insert(group);
        return left.empty();
    };
    if (!QTest::qWaitFor(groupsLeft, ms(5000)))
        return u"the group of ended server %1 still holds processes"_s.arg(*left.begin());

    // A live server holds its process descriptor, the log and its guard's lifeline open, and
    // nothing else of ours stays open once the probes' connections are let go.
    std::pair<int, int> now;
    const bool back = QTest::qWaitFor(
        [&] {
            now = openDescriptors();
            return now.first <= baseDescriptors.first + (owned ? 2 : 0) &&
                   now.second <= baseDescriptors.second + (owned ? 1 : 0);
        },
        ms(5000));
    maxFileDrift = std::max(maxFileDrift, now.first - baseDescriptors.first - (owned ? 2 : 0));
    maxSocketDrift =
        std::max(maxSocketDrift, now.second - baseDescriptors.second - (owned ? 1 : 0));
    if (!back)
        return u"%1 files and %2 sockets open, %3 and %4 at the start"_s.arg(now.first)
            .arg(now.second)
            .arg(baseDescriptors.first)
            .arg(baseDescriptors.second);
    if (life.launches() != int(watch.launched.size()))
        return u"%1 launches logged, %2 seen"_s.arg(life.launches()).arg(watch.launched.size());
    return {};
}

int Soak::run(int cycles)
{
    port.record = life.account.path(u"listening"_s);
    life.account.writeInfoJson(QJsonObject{{u"TarvessaServerPort"_s, port.serverPort()}});
    life.account.installRuntime(ServerScript);
    // A process of ours the controller never launched: no signal of its may reach it.
    const pid_t decoy = ::fork();
    if (decoy == 0)
        ::_exit(::execl("/bin/sleep", "sleep", "3600", nullptr));
    watch.controller = &c;
    watch.modeFile = life.account.path(u"mode"_s);
    c.installEventFilter(&watch);
    QElapsedTimer clock;
    clock.start();

    QString broken;
    int cycle = 1;
    for (; cycle <= cycles && broken.isEmpty(); ++cycle) {
        setMode(Modes[rng.bounded(int(std::size(Modes)))]);
        trace = QStringList{u"server "_s + QString::fromLatin1(readAll(watch.modeFile))};
        for (int steps = 1 + rng.bounded(3); steps > 0; --steps) {
            runStep(Deck[rng.bounded(int(std::size(Deck)))]);
            QTest::qWait(rng.bounded(60)); // steps land at every phase of a start or a stop
        }
        if (!QTest::qWaitFor([this] { return settled(); }, ms(20000)))
            broken = expectNoServer && c.serverProcess ? u"a server runs after a stop"_s
                                                       : u"nothing settles"_s;
        else if (cycle == 1) { // the baseline: the menu, the network and the log exist by now
            baseDescriptors = openDescriptors();
            baseDescriptors.first -= c.serverProcess ? 2 : 0;
            baseDescriptors.second -= c.serverProcess ? 1 : 0;
            baseKiB = residentKiB();
        } else
            broken = brokenPromise();
        maxDriftKiB = std::max(maxDriftKiB, residentKiB() - baseKiB);
    }
    if (broken.isEmpty() && statOf(decoy).state != 'S')
        broken = u"a signal reached a process the controller never launched"_s;
    if (broken.isEmpty() && ResidentMemoryTells && maxDriftKiB > 32 * 1024)
        broken = u"memory grew by %1 KiB"_s.arg(maxDriftKiB);
    ::kill(decoy, SIGKILL);
    ::waitpid(decoy, nullptr, 0);

    const double seconds = double(clock.elapsed()) / 1000;
    std::printf("soak: %d cycles in %.1f s (%.0f a minute), %zu servers launched\n", cycle - 1,
                seconds, (cycle - 1) * 60 / seconds, watch.launched.size());
    for (const auto& [kind, count] : counts)
        std::printf("  %-24s %d\n", qPrintable(kind), count);
    std::printf("  max drift: %d files, %d sockets, %lld KiB resident (of %lld)\n", maxFileDrift,
                maxSocketDrift, maxDriftKiB, baseKiB);
    if (broken.isEmpty())
        return 0;
    std::fprintf(stderr, "soak: broken promise after cycle %d: %s\n  its steps: %s\n", cycle - 1,
                 qPrintable(broken), qPrintable(trace.join(u"; "_s)));
    return 1;
}

} // namespace

int main(int argc, char* argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen"); // the menu needs widgets, but nothing is shown
    QApplication application(argc, argv);
    const QStringList arguments = QApplication::arguments();
    auto option = [&](const QString& name, quint32 fallback) {
        const qsizetype at = arguments.indexOf(name);
        return at > 0 && at + 1 < arguments.size() ? arguments.at(at + 1).toUInt() : fallback;
    };
    const int cycles = int(option(u"--cycles"_s, 300));
    const quint32 seed = option(u"--seed"_s, QRandomGenerator::global()->bounded(1u << 31));
    const double factor =
        std::max(1.0, qEnvironmentVariable("TARVESSA_TEST_TIME_FACTOR").toDouble());
    std::printf("soak: %d cycles, seed %u (bench/soak --cycles %d --seed %u repeats it)\n", cycles,
                seed, cycles, seed);
    std::fflush(stdout);
    return Soak(seed, factor).run(cycles);
}
