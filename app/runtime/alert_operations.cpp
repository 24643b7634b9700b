// The one way a failure of the server's life reaches the user, and the one alert at a time.
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
    presentAlert(alert, [this](int answer) {
        if (answer == 0)
            showServerLog();
    });
}

void TarvessaAudioServerAppDelegate::presentAlert(const AlertRequest& alert,
                                                  std::function<void(int)> answered)
{
    if (m_alertOpen) {
        m_waitingAlert.emplace(alert, std::move(answered));
        return;
    }
    std::optional<std::pair<AlertRequest, std::function<void(int)>>> next;
    next.emplace(alert, std::move(answered));
    while (next && !isQuitting) {
        m_alertOpen = true;
        const int answer = m_services.alerts.run(next->first);
        m_alertOpen = false;
        const std::function<void(int)> done = std::move(next->second);
        next = std::exchange(m_waitingAlert, std::nullopt);
        if (done)
            done(answer);
    }
    m_waitingAlert.reset();
}
