// Starting the server from the bundle, and handling its end.
#include "base/native_names.h"
#include "base/product.h"
#include "controller/app_delegate.h"
#include "server/locations.h"
#include "server/server_process.h"

#include <unistd.h>

void TarvessaAudioServerAppDelegate::startServer(bool openBrowser)
{
    if (serverProcess) {
        // Already ours, even if it has just ended and its end is not handled yet.
        if (openBrowser)
            waitUntilReady(true);
        return;
    }

    // Checked before anything is created, so a broken bundle leaves no trace on disk.
    const RuntimeLocations where = locations();
    const QString entryScript = serverEntryURL().toLocalFile();
    if (::access(encodeNativeName(where.nodeRuntime()).constData(), X_OK) != 0) {
        presentLaunchError(
            QStringLiteral("The bundled Node.js runtime is missing or not executable."));
        return;
    }
    if (::access(encodeNativeName(entryScript).constData(), F_OK) != 0) {
        presentLaunchError(QStringLiteral("The bundled Tarvessa Audio server is missing."));
        return;
    }

    const QString prepareFailure =
        QStringLiteral("%1 could not prepare its data folders: ").arg(displayName());
    if (const Expected<void> moved = migrateLegacyRuntimeDirectoriesIfNeeded(); !moved.ok()) {
        presentLaunchError(prepareFailure + moved.error().description);
        return;
    }
    if (const Expected<void> made = createRuntimeDirectories(); !made.ok()) {
        presentLaunchError(prepareFailure + made.error().description);
        return;
    }
    Expected<LogHandle> log = openLogHandle();
    if (!log.ok()) {
        presentLaunchError(prepareFailure + log.error().description);
        return;
    }
    m_logHandle = std::move(log.value());

    ServerLaunch launch;
    launch.program = where.nodeRuntime();
    launch.arguments = {entryScript};
    launch.workingFolder = where.serverAppFolder();
    launch.environment = serverEnvironment();
    launch.outputFd = logHandle->fd();
    launch.forcedKillDelay = m_timings.forcedKillDelay;

    auto process = std::make_shared<ServerProcess>();
    // Connected before the start. Queued, so the end is handled after the work already waiting
    // on the main thread; the handling holds neither the controller nor the process alive.
    connect(
        process.get(), &ServerProcess::finished, this,
        [this, ended = std::weak_ptr<ServerProcess>(process)](int status) {
            handleServerTermination(ended, status);
        },
        Qt::QueuedConnection);
    if (const Expected<void> started = process->start(launch); !started.ok()) {
        m_logHandle.reset();
        presentLaunchError(QStringLiteral("%1 could not start: ").arg(displayName()) +
                           started.error().description);
        return;
    }
    m_serverProcess = std::move(process);
    updateMenu(ServerState::starting());
    waitUntilReady(openBrowser);
}

void TarvessaAudioServerAppDelegate::handleServerTermination(
    const std::weak_ptr<ServerProcess>& ended, int status)
{
    // A newer server, started after this one was let go, stays ours with its readiness wait, its
    // log and the menu: this end is no longer news.
    if (serverProcess && serverProcess != ended.lock())
        return;
    m_serverProcess.reset();
    cancelReadinessWait();
    if (logHandle) {
        m_logHandle->flushAndClose();
        m_logHandle.reset();
    }
    if (restartAfterTermination && !isQuitting) {
        m_restartAfterTermination = false;
        updateMenu(ServerState::stopped());
        startServer(false);
        return;
    }
    if (!isQuitting && status != 0) {
        presentLaunchError(QStringLiteral("Server exited with status %1. Check the server log for "
                                          "details.")
                               .arg(status));
        return;
    }
    updateMenu(ServerState::stopped());
}
