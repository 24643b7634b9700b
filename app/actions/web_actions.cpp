// "Open Tarvessa Audio Server" (also the answer to a second launch) and copying the address.
#include "controller/app_delegate.h"
#include "platform/workspace.h"

void TarvessaAudioServerAppDelegate::openWebInterface(QObject*)
{
    probeServer([self = QPointer(this), stops = m_stops](bool compatible) {
        if (!self || !self->noStopSince(stops))
            return;
        if (compatible) {
            self->updateMenu(ServerState::running());
            self->m_services.workspace.openUrl(self->serverURL);
        } else {
            self->startServer(true);
        }
    });
}

void TarvessaAudioServerAppDelegate::copyAddress(QObject*)
{
    m_services.clipboard.setText(serverURL.toString());
}
