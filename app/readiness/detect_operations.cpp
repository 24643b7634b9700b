// At launch: use a compatible server that already answers, or start our own.
#include "controller/app_delegate.h"
#include "session/workspace.h"

void TarvessaAudioServerAppDelegate::detectOrStartServer(bool openBrowser)
{
    probeServer([self = QPointer(this), openBrowser, stops = m_stops](bool compatible) {
        if (!self || !self->noStopSince(stops))
            return;
        if (compatible) {
            self->updateMenu(ServerState::running());
            if (openBrowser)
                self->m_services.workspace.openUrl(self->serverURL);
        } else {
            self->startServer(openBrowser);
        }
    });
}
