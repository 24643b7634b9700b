// The one way a failure of the server's life reaches the user.
#include "controller/app_delegate.h"
#include "platform/alerts.h"

void TarvessaAudioServerAppDelegate::presentLaunchError(const QString& message)
{
    updateMenu(ServerState::failed(message));
    if (isQuitting)
        return;
    AlertRequest alert;
    alert.style = AlertRequest::Style::Warning;
    alert.title = QStringLiteral("Tarvessa Audio Server");
    alert.informativeText = message;
    alert.buttons = {QStringLiteral("Show Log"), QStringLiteral("OK")};
    if (m_services.alerts.run(alert) == 0)
        showServerLog();
}
