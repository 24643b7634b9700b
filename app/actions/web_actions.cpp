// "Open Tarvessa Audio Server" (also the answer to a second launch) and copying the address.
#include "controller/app_delegate.h"
#include "session/workspace.h"

void TarvessaAudioServerAppDelegate::openWebInterface(QObject*)
{
    detectOrStartServer(true);
}

void TarvessaAudioServerAppDelegate::copyAddress(QObject*)
{
    m_services.clipboard.setText(serverURL.toString());
}
