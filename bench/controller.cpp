// Drives the application's real controller in process, with doubles for the desktop and the
// real bundle's server, and prints one sample a line, "FIGURE VALUE" (milliseconds):
//   readiness   from the server's "listening on" log line to the controller showing running
//   listen      from the start request to that log line (the server's own start-up)
//   crash       from a SIGKILL of the owned server to the controller showing failed
//   probe       one probe's round trip to the running server
//   rotate      opening the log when it must be rotated first (10 MiB + 1 byte, no older log)
//   rotate_old  the same with an older rotated log of 10 MiB in the way
//
// The state is seen the moment it changes: every change of state retitles the menu's status
// item, whose changed() signal is connected here, so no polling delay is added.
//
//   bench_controller --bundle DIR --port N [--cycles N] [--probes N] [--rotations N]
#include "controller/app_delegate.h"
#include "server/server_log.h"
#include "server/server_process.h"
#include "test_account.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <ctime>

namespace {

double clockMs(clockid_t clock)
{
    timespec now{};
    ::clock_gettime(clock, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

void sample(const char* figure, double milliseconds)
{
    std::printf("%s %.3f\n", figure, milliseconds);
    std::fflush(stdout);
}

TarvessaAudioServerAppDelegate* measured = nullptr; // its server is ended on a failure

[[noreturn]] void fail(const QString& why)
{
    std::fprintf(stderr, "bench_controller: %s\n", qPrintable(why));
    if (measured && measured->serverProcess)
        measured->serverProcess->killGroup();
    std::_Exit(1); // at once, past the event loop and the objects still in it
}

// Records when the controller's state last changed to each kind, on both clocks.
class StateWatch
{
public:
    explicit StateWatch(TarvessaAudioServerAppDelegate& controller) : m_controller(controller)
    {
        m_last = controller.serverState.kind();
        QObject::connect(controller.statusMenuItem, &QAction::changed, [this] {
            const ServerState::Case now = m_controller.serverState.kind();
            if (now == m_last)
                return;
            m_last = now;
            m_realMs = clockMs(CLOCK_REALTIME);
            m_monotonicMs = clockMs(CLOCK_MONOTONIC);
            if (now == m_awaited)
                m_loop.quit();
        });
    }

    bool waitFor(ServerState::Case kind, int timeoutMs)
    {
        if (m_last == kind)
            return true;
        m_awaited = kind;
        QTimer limit;
        limit.setSingleShot(true);
        QObject::connect(&limit, &QTimer::timeout, &m_loop, [this] { m_loop.exit(1); });
        limit.start(timeoutMs);
        const bool reached = m_loop.exec() == 0;
        m_awaited.reset();
        return reached;
    }
    double realMs() const { return m_realMs; }
    double monotonicMs() const { return m_monotonicMs; }

private:
    TarvessaAudioServerAppDelegate& m_controller;
    ServerState::Case m_last;
    std::optional<ServerState::Case> m_awaited;
    double m_realMs = 0;
    double m_monotonicMs = 0;
    QEventLoop m_loop;
};

// The time of the server's last "listening on" line: its log lines begin with an ISO time.
double lastListeningMs(const QString& logFile)
{
    QFile log(logFile);
    if (!log.open(QIODevice::ReadOnly))
        fail(QStringLiteral("cannot read %1").arg(logFile));
    const QList<QByteArray> lines = log.readAll().split('\n');
    for (auto line = lines.crbegin(); line != lines.crend(); ++line) {
        if (!line->contains(" listening on "))
            continue;
        const QDateTime when = QDateTime::fromString(
            QString::fromLatin1(line->left(line->indexOf(' '))), Qt::ISODateWithMs);
        if (when.isValid())
            return static_cast<double>(when.toMSecsSinceEpoch());
    }
    fail(QStringLiteral("no \"listening on\" line in %1").arg(logFile));
}

void writeFile(const QString& path, qint64 size)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        file.write(QByteArray(size, 'x')) != size)
        fail(QStringLiteral("cannot write %1").arg(path));
}

void measureRotation(int rotations, bool withOlderLog)
{
    for (int i = 0; i < rotations; ++i) {
        QTemporaryDir folder; // a fresh file each time
        const QString log = folder.filePath(QStringLiteral("server.log"));
        const QString previous = folder.filePath(QStringLiteral("server.previous.log"));
        writeFile(log, ServerLogRotationLimit + 1);
        if (withOlderLog)
            writeFile(previous, ServerLogRotationLimit);
        const double start = clockMs(CLOCK_MONOTONIC);
        Expected<LogHandle> handle = openServerLog(log, previous);
        const double end = clockMs(CLOCK_MONOTONIC);
        if (!handle.ok() || QFileInfo(previous).size() != ServerLogRotationLimit + 1)
            fail(QStringLiteral("the log was not rotated"));
        sample(withOlderLog ? "rotate_old" : "rotate", end - start);
    }
}

void measureProbes(TarvessaAudioServerAppDelegate& controller, int probes)
{
    QEventLoop loop;
    for (int i = 0; i < probes; ++i) {
        bool answered = false;
        bool compatible = false;
        double end = 0;
        const double start = clockMs(CLOCK_MONOTONIC);
        controller.probeServer([&](bool isCompatible) {
            end = clockMs(CLOCK_MONOTONIC);
            compatible = isCompatible;
            answered = true;
            loop.quit();
        });
        if (!answered)
            loop.exec();
        if (!compatible)
            fail(QStringLiteral("a probe of the running server failed"));
        sample("probe", end - start);
    }
}

} // namespace

int main(int argc, char* argv[])
{
    // The controller's menu needs widgets, but nothing is shown.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    const QStringList arguments = QApplication::arguments();
    auto option = [&](const char* name, const QString& fallback) {
        const qsizetype at = arguments.indexOf(QString::fromLatin1(name));
        return at >= 0 && at + 1 < arguments.size() ? arguments.at(at + 1) : fallback;
    };
    const QString bundle = option("--bundle", QString());
    const int port = option("--port", QStringLiteral("2104")).toInt();
    const int cycles = option("--cycles", QStringLiteral("20")).toInt();
    const int probes = option("--probes", QStringLiteral("1000")).toInt();
    const int rotations = option("--rotations", QStringLiteral("20")).toInt();
    if (!QFileInfo(bundle + QStringLiteral("/Resources/runtime/bin/node")).isExecutable())
        fail(QStringLiteral("--bundle must name a built bundle"));

    measureRotation(rotations, false);
    measureRotation(rotations, true);

    // A fresh account whose bundle carries the real server and runtime on its own port.
    TestAccount account;
    QDir(account.bundle()).rmdir(QStringLiteral("Resources"));
    if (!QFile::link(QFileInfo(bundle + QStringLiteral("/Resources")).absoluteFilePath(),
                     account.bundle() + QStringLiteral("/Resources")))
        fail(QStringLiteral("cannot link the bundle's resources"));
    account.writeInfoJson(QJsonObject{{QStringLiteral("TarvessaServerPort"), port}});
    auto controller = account.makeController();
    measured = controller.get();
    controller->buildStatusMenu();
    StateWatch watch(*controller);
    const QString logFile = controller->serverLogURL().toLocalFile();

    for (int cycle = 0; cycle < cycles; ++cycle) {
        const double requested = clockMs(CLOCK_REALTIME);
        controller->startServer(false);
        if (!watch.waitFor(ServerState::Case::running, 10000))
            fail(QStringLiteral("the server did not become ready"));
        const double listening = lastListeningMs(logFile);
        sample("listen", listening - requested);
        sample("readiness", watch.realMs() - listening);

        if (cycle == 0)
            measureProbes(*controller, probes);

        account.alerts.answers.enqueue(1); // "OK" on the failure alert
        const pid_t server = static_cast<pid_t>(controller->serverProcess->processId());
        const double killed = clockMs(CLOCK_MONOTONIC);
        ::kill(server, SIGKILL);
        if (!watch.waitFor(ServerState::Case::failed, 10000))
            fail(QStringLiteral("the crash was not seen"));
        sample("crash", watch.monotonicMs() - killed);
    }
    if (account.alerts.shown.size() != cycles)
        fail(QStringLiteral("expected one failure alert per crash"));
    return 0;
}
