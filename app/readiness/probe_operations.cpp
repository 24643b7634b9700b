// One request to the server's mode endpoint: does a compatible server answer on our port?
#include "controller/app_delegate.h"
#include "readiness/probe_answer.h"
#include "readiness/socket_owner.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>

void TarvessaAudioServerAppDelegate::probeServer(std::function<void(bool)> completion)
{
    QUrl url = serverURL;
    url.setPath(QStringLiteral("/api/app-mode"));
    QNetworkRequest request(url);
    request.setTransferTimeout(static_cast<int>(m_timings.probeTimeout.count()));
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);
    QNetworkReply* reply = m_network->get(request);
    ++m_probesInFlight;
    // The reply finishes from the event loop, never inside get(): the completion always runs
    // later on the main thread.
    connect(reply, &QNetworkReply::finished, this,
            [this, reply, completion = std::move(completion)] {
                const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
                const std::optional<int> httpStatus =
                    status.isValid() ? std::optional<int>(status.toInt()) : std::nullopt;
                // A transfer that broke (reset, closed early, timed out) is no answer, whatever
                // arrived of it; such a reply is closed, so it is not read either. A compatible
                // answer is tiny; a larger body is not one, however long.
                const bool whole = reply->error() == QNetworkReply::NoError;
                const QByteArray body = whole ? reply->read(64 * 1024) : QByteArray();
                reply->deleteLater();
                --m_probesInFlight;
                const QPointer self(this);
                // Another user's server is never ours, whatever it answers.
                completion(whole && isCompatibleAnswer(httpStatus, body) &&
                           !loopbackPortHeldByAnotherUser(static_cast<quint16>(serverPort)));
                if (self)
                    releaseNetworkWhenIdle();
            });
}

// The probes' kept-alive connection and the thread Qt runs HTTP in are needed only while probes
// are sent. Once none is out and no wait runs, both are let go, so that an idle application
// holds no thread, descriptor or timer for them and is not woken when the connection closes or
// expires; the next probe brings them back. Checked from the event loop, after the answer has
// been handled, since handling it may begin a new wait.
void TarvessaAudioServerAppDelegate::releaseNetworkWhenIdle()
{
    QTimer::singleShot(0, this, [this] {
        if (m_probesInFlight == 0 && !readinessTimer)
            m_network->clearConnectionCache();
    });
}
