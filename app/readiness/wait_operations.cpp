// After a launch: probe every tick until the server answers, and give up after the limit.
#include "controller/app_delegate.h"
#include "session/workspace.h"

#include <QTimer>

void TarvessaAudioServerAppDelegate::cancelReadinessWait()
{
    if (readinessTimer) {
        readinessTimer->stop();
        readinessTimer->deleteLater();
    }
    m_readinessTimer = nullptr;
}

void TarvessaAudioServerAppDelegate::waitUntilReady(bool openBrowser)
{
    cancelReadinessWait();
    m_readinessAttempts = 0;
    if (openBrowser)
        m_openBrowserWhenReady = true; // a pending request is never withdrawn by a new wait

    auto* timer = new QTimer(this);
    timer->setInterval(m_timings.readinessTick);
    m_readinessTimer = timer;
    connect(timer, &QTimer::timeout, this, [this, wait = QPointer(timer)] {
        ++m_readinessAttempts;
        probeServer([self = QPointer(this), wait](bool compatible) {
            // A result counts only for the wait that sent it: a stop or a newer wait makes it
            // stale, so it can neither show "running" for a stopped server nor alert twice.
            if (!self || !wait || self->readinessTimer != wait || !wait->isActive())
                return;
            if (compatible) {
                self->cancelReadinessWait();
                self->updateMenu(ServerState::running());
                if (self->openBrowserWhenReady) {
                    self->m_openBrowserWhenReady = false;
                    self->m_services.workspace.openUrl(self->serverURL);
                }
            } else if (self->readinessAttempts >= self->m_timings.readinessAttemptLimit) {
                self->cancelReadinessWait();
                self->presentLaunchError(QStringLiteral(
                    "Server did not become ready within 60 seconds. Check the server log for "
                    "details."));
            }
        });
    });
    timer->start();
}
