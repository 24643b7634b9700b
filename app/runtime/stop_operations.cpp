// Stopping, restarting and toggling the server the application owns.
#include "base/product.h"
#include "controller/app_delegate.h"
#include "server/server_process.h"

bool TarvessaAudioServerAppDelegate::ownedServerIsRunning() const
{
    return serverProcess && serverProcess->isRunning();
}

void TarvessaAudioServerAppDelegate::stopOwnedServer()
{
    // A stop cancels a pending restart, even when the old server has already ended and only
    // its end is still to be handled.
    m_restartAfterTermination = false;
    ++m_stops;
    if (!ownedServerIsRunning()) {
        m_serverProcess.reset();
        updateMenu(ServerState::stopped());
        return;
    }
    cancelReadinessWait();
    serverProcess->terminate();
    serverProcess->killGroupAfterDelay();
}

void TarvessaAudioServerAppDelegate::restartServer(QObject*)
{
    m_openBrowserWhenReady = false;
    if (ownedServerIsRunning()) {
        m_restartAfterTermination = true;
        serverProcess->terminate();
        return;
    }
    probeServer([self = QPointer(this), stops = m_stops](bool compatible) {
        if (!self || !self->noStopSince(stops))
            return;
        if (compatible)
            self->presentLaunchError(
                QStringLiteral("The server on port %1 was not started by this app, so %2 cannot "
                               "restart it.")
                    .arg(self->serverPort)
                    .arg(displayName()));
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
