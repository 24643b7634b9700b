// What a misbehaving server, an early stop or a dying application must not get away with: lost
// exit statuses, broken probe transfers, probes that start a stopped server, and anything of the
// server outliving the application or its own end.
#include "lifecycle.h"
#include "readiness/socket_owner.h"

#include <QApplication>

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {
// The processes of process group `group`, its leader included; zombies do not count.
QList<qint64> groupMembers(qint64 group)
{
    QList<qint64> members;
    const QStringList pids = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString& pid : pids) {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
        if (pid.toInt() <= 0 || !stat.open(QIODevice::ReadOnly))
            continue;
        const QList<QByteArray> fields = stat.readAll().split(')').last().split(' ');
        if (fields.size() > 3 && fields.at(1) != "Z" && fields.at(3).toLongLong() == group)
            members.append(pid.toLongLong());
    }
    return members;
}

QString record(const Lifecycle& life, const char* name)
{
    QFile file(life.account.path(QString::fromLatin1(name)));
    file.open(QIODevice::ReadOnly);
    return QString::fromUtf8(file.readAll()).trimmed();
}

// Collects our own child `pid` within five seconds; its wait status, or -1.
int collectWithin5s(pid_t pid)
{
    int status = -1;
    return QTest::qWaitFor([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, 5000) ? status
                                                                                          : -1;
}

// A program run as our child, its standard output read through a pipe, killed and collected
// at the end. Forked by hand: QProcess's vfork-style start upsets ThreadSanitizer.
struct Child
{
    explicit Child(const QList<QByteArray>& arguments)
    {
        std::vector<char*> argv;
        for (const QByteArray& argument : arguments)
            argv.push_back(const_cast<char*>(argument.constData()));
        argv.push_back(nullptr);
        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0)
            return;
        if ((pid = ::fork()) == 0) {
            ::dup2(out[1], STDOUT_FILENO);
            ::execvp(argv[0], argv.data());
            ::_exit(127);
        }
        ::close(out[1]);
        output = out[0];
    }
    ~Child()
    {
        ::close(output);
        if (pid > 0 && ::kill(pid, SIGKILL) == 0)
            ::waitpid(pid, nullptr, 0);
    }
    // One line of its output, waited for up to five seconds.
    QByteArray readLine() const
    {
        QByteArray line;
        char c = 0;
        pollfd readable{output, POLLIN, 0};
        while (::poll(&readable, 1, 5000) == 1 && ::read(output, &c, 1) == 1 && c != '\n')
            line.append(c);
        return line;
    }
    pid_t pid = -1;
    int output = -1;
};

QStringList warnings;
void recordWarning(QtMsgType, const QMessageLogContext&, const QString& message)
{
    warnings.append(message);
}
} // namespace

class HardeningTest : public QObject
{
    Q_OBJECT

private slots:
    void aLostStatusIsNeverACleanExit_data()
    {
        QTest::addColumn<bool>("ignoredBeforeStart");
        QTest::addColumn<int>("status");
        QTest::newRow("SIGCHLD ignored by whoever started us") << true << 3;
        QTest::newRow("end collected by someone else") << false << ServerProcess::UnknownStatus;
    }
    void aLostStatusIsNeverACleanExit()
    {
        QFETCH(bool, ignoredBeforeStart);
        QFETCH(int, status);
        Lifecycle life;
        life.account.installRuntime(
            QStringLiteral("while [ ! -e \"$RECORD_DIR/go\" ]; do sleep 0.02; done\nexit 3"));
        std::signal(SIGCHLD, SIG_IGN);
        if (ignoredBeforeStart)
            life.controller->startServer(false);
        else {
            std::signal(SIGCHLD, SIG_DFL);
            life.controller->startServer(false);
            std::signal(SIGCHLD, SIG_IGN); // the system now collects the child itself
        }
        QFile(life.account.path(QStringLiteral("go"))).open(QIODevice::WriteOnly);
        QTRY_VERIFY(!life.controller->serverProcess);
        std::signal(SIGCHLD, SIG_DFL);
        QVERIFY(life.stateIs(ServerState::Case::failed));
        QCOMPARE(life.account.alerts.shown.size(), 1);
        QCOMPARE(life.account.alerts.shown.first().informativeText,
                 QStringLiteral("Server exited with status %1. Check the server log for details.")
                     .arg(status));
    }

    void aRefusedProcessDescriptorIsWatchedAnotherWay_data()
    {
        QTest::addColumn<int>("refusal");
        QTest::addColumn<bool>("stopped"); // by SIGTERM, else it exits on its own
        QTest::addColumn<int>("status");
        QTest::newRow("Linux before 5.3") << ENOSYS << false << 7;
        QTest::newRow("a seccomp filter, then a stop") << EPERM << true << SIGTERM;
    }
    void aRefusedProcessDescriptorIsWatchedAnotherWay()
    {
        QFETCH(int, refusal);
        QFETCH(bool, stopped);
        QFETCH(int, status);
        static int refused;
        refused = refusal;
        ServerProcess server(nullptr, [](pid_t) {
            errno = refused;
            return -1;
        });
        QSignalSpy ended(&server, &ServerProcess::finished);
        const QString script =
            stopped ? QStringLiteral("exec sleep 300") : QStringLiteral("exit 7");
        QVERIFY(server
                    .start({QStringLiteral("/bin/sh"),
                            {QStringLiteral("-c"), script},
                            QDir::tempPath(),
                            QProcessEnvironment::systemEnvironment()})
                    .ok());
        if (stopped)
            server.terminate();
        QVERIFY(ended.wait(5000));
        QCOMPARE(ended.first().first().toInt(), status);
        QVERIFY(!server.isRunning());
    }

    void brokenTransfersAreNoAnswer_data()
    {
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<int>("delayMs");
        const QByteArray cut =
            ModeServer::compatible().replace("Content-Length: 17", "Content-Length: 400");
        QTest::newRow("body cut short, then closed") << cut << 0;
        QTest::newRow("past the time limit") << ModeServer::compatible() << 1500;
    }
    void brokenTransfersAreNoAnswer()
    {
        QFETCH(QByteArray, answer);
        QFETCH(int, delayMs);
        ModeServer server(answer);
        server.setDelayMs(delayMs);
        Lifecycle life(server.serverPort());
        std::optional<bool> compatible;
        warnings.clear();
        const QtMessageHandler previous = qInstallMessageHandler(recordWarning);
        life.controller->probeServer([&](bool answer) { compatible = answer; });
        QTRY_VERIFY_WITH_TIMEOUT(compatible.has_value(), 5000);
        QTest::qWait(0);
        qInstallMessageHandler(previous);
        QCOMPARE(*compatible, false);
        QCOMPARE(warnings, QStringList()); // nothing printed on standard error
    }

    // Each way a probe may decide to start a server, then Start and Stop before it answers.
    void aStopCancelsWhatAProbeWouldStart_data()
    {
        QTest::addColumn<int>("trigger");
        QTest::newRow("open the web interface") << 0;
        QTest::newRow("launch decision") << 1;
        QTest::newRow("restart with nothing owned") << 2;
    }
    void aStopCancelsWhatAProbeWouldStart()
    {
        QFETCH(int, trigger);
        ModeServer notOurs(ModeServer::response(404, "no"));
        notOurs.setDelayMs(250);
        Lifecycle life(notOurs.serverPort());
        life.account.installRuntime(QStringLiteral("exec sleep 300"));
        TarvessaAudioServerAppDelegate& app = *life.controller;
        if (trigger == 0)
            app.openWebInterface();
        else if (trigger == 1)
            app.detectOrStartServer(true);
        else
            app.restartServer();
        QCOMPARE(app.probesInFlight(), 1);
        app.toggleServer(); // Start
        QVERIFY(app.serverProcess);
        app.toggleServer(); // Stop
        QTRY_VERIFY_WITH_TIMEOUT(app.probesInFlight() == 0 && !app.serverProcess, 5000);
        QTest::qWait(0);
        QVERIFY(!app.serverProcess); // the probe's answer started nothing
        QCOMPARE(life.logText().count(QStringLiteral("--- Tarvessa Audio Server launch")), 1);
        QVERIFY(life.account.workspace.openedUrls.isEmpty());
    }

    void listenersAreFoundWithTheirOwners()
    {
        const auto row = [](const char* local, const char* state, int uid) {
            return "   0: " + QByteArray(local) + " 00000000:0000 " + state +
                   " 00000000:00000000 00:00000000 00000000 " + QByteArray::number(uid) +
                   " 0 1 1\n";
        };
        const QByteArray header = "  sl  local_address rem_address   st tx_queue ... uid\n";
        const QByteArray v4 = header + row("0100007F:1F90", "0A", 1000) + // 127.0.0.1:8080
                              row("00000000:1F90", "0A", 33) +            // any address
                              row("0100007F:1F91", "0A", 7) +             // another port
                              row("0100007F:1F90", "01", 5) +             // not listening
                              row("0101A8C0:1F90", "0A", 9);              // 192.168.1.1
        QCOMPARE(loopbackListenerOwners(v4, 8080), (QList<uint>{1000, 33}));
        const QByteArray any6(32, '0');
        const QByteArray v6 = header + row(any6 + ":1F90", "0A", 44) +
                              row("0000000000000000FFFF00000100007F:1F90", "0A", 45) +
                              row("00000000000000000000000001000000:1F90", "0A", 46); // ::1
        QCOMPARE(loopbackListenerOwners(v6, 8080), (QList<uint>{44, 45}));
        QCOMPARE(loopbackListenerOwners(v6, 8081), QList<uint>());
    }

    void anotherUsersServerIsNotOurs()
    {
        if (::geteuid() != 0)
            QSKIP("needs root to run a server as another user");
        const quint16 port = freePort();
        const QByteArray script = "require('http').createServer((q, r) => r.end("
                                  "'{\"mode\":\"quarle\"}')).listen(" +
                                  QByteArray::number(port) + ", '127.0.0.1')";
        const Child other({"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "node",
                           "-e", script}); // a compatible answer, from uid 65534
        QTRY_VERIFY_WITH_TIMEOUT(loopbackPortHeldByAnotherUser(port), 10000);
        Lifecycle life(port);
        std::optional<bool> compatible;
        life.controller->probeServer([&](bool answer) { compatible = answer; });
        QTRY_VERIFY_WITH_TIMEOUT(compatible.has_value(), 5000);
        QCOMPARE(*compatible, false);
    }

    void theServerDiesWithTheApplication()
    {
        TestAccount account;
        // This executable, as an application that only owns a server.
        const Child application({QCoreApplication::applicationFilePath().toLocal8Bit(),
                                 "--own-a-server", account.root().toLocal8Bit()});
        const qint64 server = application.readLine().toLongLong();
        QVERIFY(server > 0 && !processIsGone(server));
        ::kill(application.pid, SIGKILL); // nothing of the application runs any more
        // Without the death signal the server would sleep on for minutes; how fast it goes is
        // the benchmark's business, so the deadline here is only generous.
        QTRY_VERIFY_WITH_TIMEOUT(processIsGone(server), 10000);
        if (!processIsGone(server)) // what a failure would leave
            ::kill(static_cast<pid_t>(server), SIGKILL);
    }

    void helpersAreEndedOnceTheServerHasEnded()
    {
        ControllerTimings timings = fastTimings();
        Lifecycle life(freePort(), timings);
        // A child with a grandchild, a helper deaf to SIGTERM, and one that left the group.
        life.account.installRuntime(QStringLiteral(R"sh(
sh -c 'sleep 300 & wait' &
sh -c "trap '' TERM; exec sleep 301" &
setsid sh -c 'echo $$ > "$RECORD_DIR/outside"; exec sleep 302' &
trap 'exit 0' TERM
while [ ! -s "$RECORD_DIR/outside" ]; do sleep 0.02; done
: > "$RECORD_DIR/ready"
wait)sh"));
        for (int cycle = 0; cycle < 2; ++cycle) {
            QFile::remove(life.account.path(QStringLiteral("outside")));
            QFile::remove(life.account.path(QStringLiteral("ready")));
            life.controller->startServer(false);
            const qint64 group = life.controller->serverProcess->processId();
            QTRY_VERIFY(QFileInfo::exists(life.account.path(QStringLiteral("ready"))));
            QTRY_COMPARE(groupMembers(group).size(), 4);
            life.controller->stopOwnedServer();
            QTRY_VERIFY(!life.controller->serverProcess);
            QVERIFY(life.stateIs(ServerState::Case::stopped)); // it exited 0
            QTRY_VERIFY_WITH_TIMEOUT(groupMembers(group).isEmpty(), 3000);
            const qint64 outside = record(life, "outside").toLongLong();
            QVERIFY(!processIsGone(outside)); // never a process outside the group
            ::kill(static_cast<pid_t>(outside), SIGKILL);
        }
    }

    void aForcedKillOutlivesTheApplication()
    {
        Lifecycle life;
        life.account.installRuntime(
            QStringLiteral("trap '' TERM\nsh -c 'sleep 300' &\n: > \"$RECORD_DIR/ready\"\nwhile :; "
                           "do sleep 0.05; done"));
        life.controller->startServer(false);
        QTRY_VERIFY(QFileInfo::exists(life.account.path(QStringLiteral("ready"))));
        QVERIFY(life.stateIs(ServerState::Case::starting)); // never answers: still starting
        const pid_t pid = static_cast<pid_t>(life.controller->serverProcess->processId());
        life.controller->applicationWillTerminate();
        life.controller.reset(); // the application ends at once
        const int status = collectWithin5s(pid);
        QVERIFY(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
        QTRY_VERIFY(groupMembers(pid).isEmpty());
    }
};

int main(int argc, char* argv[])
{
    if (argc == 3 && std::strcmp(argv[1], "--own-a-server") == 0) {
        QCoreApplication application(argc, argv);
        ServerProcess server;
        const QString folder = QString::fromLocal8Bit(argv[2]);
        if (!server
                 .start({QStringLiteral("/bin/sh"),
                         {QStringLiteral("-c"), QStringLiteral("exec sleep 300")},
                         folder,
                         QProcessEnvironment::systemEnvironment()})
                 .ok())
            return 1;
        std::printf("%lld\n", static_cast<long long>(server.processId()));
        std::fflush(stdout);
        ::pause();
    }
    QApplication application(argc, argv);
    HardeningTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_hardening.moc"
