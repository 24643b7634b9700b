// One request to the server's mode endpoint: does a compatible server answer on our port?
#include "controller/app_delegate.h"
#include "readiness/probe_answer.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>

void TarvessaAudioServerAppDelegate::probeServer(std::function<void(bool)> completion)
{
    QUrl url = serverURL;
    url.setPath(QStringLiteral("/api/app-mode"));
    QNetworkRequest request(url);
    request.setTransferTimeout(static_cast<int>(m_timings.probeTimeout.count()));
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);
    QNetworkReply* reply = m_network->get(request);
    // The reply finishes from the event loop, never inside get(): the completion always runs
    // later on the main thread.
    connect(reply, &QNetworkReply::finished, this, [reply, completion = std::move(completion)] {
        const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
        const std::optional<int> httpStatus =
            status.isValid() ? std::optional<int>(status.toInt()) : std::nullopt;
        // A compatible answer is tiny; a larger body is not one, however long.
        const QByteArray body = reply->read(64 * 1024);
        reply->deleteLater();
        completion(isCompatibleAnswer(httpStatus, body));
    });
}
