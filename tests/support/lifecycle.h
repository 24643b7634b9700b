#pragma once

#include "mode_server.h"
#include "server/server_process.h"
#include "test_account.h"

#include <QDir>
#include <QTest>
#include <csignal>

using namespace std::chrono_literals;

// A free loopback port: bound once, then released.
inline quint16 freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

// The process group of a live process; 0 once it has ended (a zombie has ended too).
inline qint64 liveGroupOf(qint64 pid)
{
    const QList<QByteArray> fields =
        readAll(QStringLiteral("/proc/%1/stat").arg(pid)).split(')').last().split(' ');
    return fields.size() > 3 && fields.at(1) != "Z" ? fields.at(3).toLongLong() : 0;
}

// Live processes whose working folder lies in `folder`, or that belong to process group `group`.
inline QList<qint64> processes(const QString& folder, qint64 group = -1)
{
    QList<qint64> found;
    for (const QString& name : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        const qint64 pid = name.toLongLong(), itsGroup = pid > 0 ? liveGroupOf(pid) : 0;
        const QString cwd = QFile::symLinkTarget(QStringLiteral("/proc/%1/cwd").arg(pid));
        if (itsGroup && (itsGroup == group || (!folder.isEmpty() && cwd.startsWith(folder))))
            found.append(pid);
    }
    return found;
}

// An account whose bundle uses `port` and whose controller has its menu built. By default ticks
// of 30 ms, 20 of them; the forced kill 400 ms after a stop; probes cut off at 300 ms.
struct Lifecycle
{
    explicit Lifecycle(quint16 port = freePort(),
                       ControllerTimings timings = {30ms, 20, 400ms, 300ms})
        : port(port)
    {
        account.writeInfoJson(QJsonObject{{QStringLiteral("TarvessaServerPort"), port}});
        account.environment.insert(QStringLiteral("RECORD_DIR"), account.root());
        controller = account.makeController(timings);
        controller->buildStatusMenu();
    }
    ~Lifecycle()
    {
        // Leave no process behind: whatever runs in the bundle's folder, the server included.
        for (qint64 pid : processes(account.root()))
            ::kill(static_cast<pid_t>(pid), SIGKILL);
    }
    bool stateIs(ServerState::Case kind) const { return controller->serverState.kind() == kind; }
    QUrl url() const { return QUrl(QStringLiteral("http://127.0.0.1:%1").arg(port)); }
    // How many launches the server log records.
    int launches() const
    {
        return QString::fromUtf8(readAll(controller->serverLogURL().toLocalFile()))
            .count(QStringLiteral("--- Tarvessa Audio Server launch"));
    }

    quint16 port;
    TestAccount account;
    std::unique_ptr<TarvessaAudioServerAppDelegate> controller;
};
