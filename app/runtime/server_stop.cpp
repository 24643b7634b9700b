// Stopping, restarting and toggling the server the application owns.
#include "controller/app_delegate.h"
#include "runtime/server_process.h"

#include <QTimer>

bool TarvessaAudioServerAppDelegate::ownedServerIsRunning() const
{
    return serverProcess && serverProcess->isRunning();
}

void TarvessaAudioServerAppDelegate::stopOwnedServer()
{
    // A stop cancels a pending restart, even when the old server has already ended and only
    // its end is still to be handled.
    restartAfterTermination = false;
    if (!ownedServerIsRunning()) {
        serverProcess.reset();
        updateMenu(ServerState::stopped());
        return;
    }
    cancelReadinessWait();
    serverProcess->terminate();
    // The forced stop keeps the process object until it has run. It checks on the main thread,
    // where the process is reaped, so a process that has ended (and whose id may have been
    // handed to another process) is never signalled.
    QTimer::singleShot(m_timings.forcedKillDelay, this, [process = serverProcess] {
        if (process->isRunning())
            process->killGroup();
    });
}

void TarvessaAudioServerAppDelegate::restartServer(QObject*)
{
    openBrowserWhenReady = false;
    if (ownedServerIsRunning()) {
        restartAfterTermination = true;
        serverProcess->terminate();
        return;
    }
    probeServer([self = QPointer(this)](bool compatible) {
        if (!self)
            return;
        if (compatible)
            self->presentLaunchError(
                QStringLiteral("The server on port %1 was not started by this "
                               "app, so Tarvessa Audio Server cannot restart it.")
                    .arg(self->serverPort));
        else
            self->startServer(false);
    });
}

void TarvessaAudioServerAppDelegate::toggleServer(QObject*)
{
    if (ownedServerIsRunning())
        stopOwnedServer();
    else
        startServer(false);
}
