#pragma once

#include "mode_server.h"
#include "runtime/server_process.h"
#include "test_account.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTest>
#include <csignal>

// A free loopback port: bound once, then released.
inline quint16 freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

inline ControllerTimings fastTimings()
{
    ControllerTimings timings;
    timings.readinessTick = std::chrono::milliseconds(30);
    timings.readinessAttemptLimit = 20;
    timings.forcedKillDelay = std::chrono::milliseconds(400);
    timings.probeTimeout = std::chrono::milliseconds(300);
    return timings;
}

// An account whose bundle uses `port` and whose controller has its menu built.
struct Lifecycle
{
    explicit Lifecycle(quint16 port = freePort(), ControllerTimings timings = fastTimings())
        : port(port)
    {
        account.writeInfoJson(QJsonObject{{QStringLiteral("TarvessaServerPort"), port}});
        account.environment.insert(QStringLiteral("RECORD_DIR"), account.root());
        controller = account.makeController(timings);
        controller->buildStatusMenu();
    }
    ~Lifecycle()
    {
        // Leave no process behind, whatever the test did.
        if (controller && controller->serverProcess && controller->serverProcess->isRunning()) {
            controller->serverProcess->killGroup();
            QSignalSpy ended(controller->serverProcess.get(), &ServerProcess::finished);
            ended.wait(5000);
        }
        // A helper a script left behind runs in the bundle's folder: end it too.
        const QStringList pids = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
        for (const QString& pid : pids) {
            const QString cwd = QFileInfo(QStringLiteral("/proc/%1/cwd").arg(pid)).symLinkTarget();
            if (pid.toInt() > 0 && cwd.startsWith(account.root()))
                ::kill(pid.toInt(), SIGKILL);
        }
    }
    bool stateIs(ServerState::Case kind) const { return controller->serverState.kind() == kind; }
    QString logText() const
    {
        QFile log(controller->serverLogURL().toLocalFile());
        log.open(QIODevice::ReadOnly);
        return QString::fromUtf8(log.readAll());
    }

    quint16 port;
    TestAccount account;
    std::unique_ptr<TarvessaAudioServerAppDelegate> controller;
};

inline bool processIsGone(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return true;
    const QByteArray fields = stat.readAll();
    return fields.mid(fields.lastIndexOf(')') + 2, 1) == "Z"; // a zombie has ended too
}
