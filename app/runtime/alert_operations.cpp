// The one way a failure of the server's life reaches the user, and the one alert at a time.
#include "base/product.h"
#include "controller/app_delegate.h"
#include "session/alerts.h"

#include <algorithm>

void TarvessaAudioServerAppDelegate::presentLaunchError(const QString& message)
{
    updateMenu(ServerState::failed(message));
    if (isQuitting)
        return;
    AlertRequest alert;
    alert.style = AlertRequest::Style::Warning;
    alert.title = displayName();
    alert.informativeText = message;
    alert.buttons = {QStringLiteral("Show Log"), QStringLiteral("OK")};
    presentAlert(
        alert,
        [this](int answer) {
            if (answer == 0)
                showServerLog();
        },
        AlertOrigin::ServerFailure);
}

void TarvessaAudioServerAppDelegate::presentAlert(const AlertRequest& alert,
                                                  std::function<void(int)> answered,
                                                  AlertOrigin origin)
{
    const auto waitsAlready = [&](const WaitingAlert& waiting) {
        return waiting.origin == origin && waiting.request.title == alert.title &&
               waiting.request.informativeText == alert.informativeText;
    };
    if (origin == AlertOrigin::ServerFailure)
        std::erase_if(m_waitingAlerts, [](const WaitingAlert& waiting) {
            return waiting.origin == AlertOrigin::ServerFailure;
        });
    if (!std::ranges::any_of(m_waitingAlerts, waitsAlready))
        m_waitingAlerts.push_back({alert, std::move(answered), origin});
    if (m_alertOpen)
        return; // shown by the loop below, in the call that opened the current alert
    while (!m_waitingAlerts.empty() && !isQuitting) {
        WaitingAlert next = std::move(m_waitingAlerts.front());
        m_waitingAlerts.pop_front();
        m_alertOpen = true;
        const int answer = m_services.alerts.run(next.request);
        m_alertOpen = false;
        if (next.answered)
            next.answered(answer);
    }
    m_waitingAlerts.clear();
}
