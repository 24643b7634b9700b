#include "probe/mode_request.h"

#include "probe/probe_answer.h"
#include "probe/socket_owner.h"

#include <QHostAddress>
#include <QNetworkProxy>
#include <QTcpSocket>
#include <QTimer>

#include <unistd.h>

namespace {

// A compatible answer is tiny: a larger body is not one, however long, and is not read on.
constexpr qsizetype BodyLimit = 64 * 1024;
constexpr qsizetype HeadLimit = 16 * 1024;

using Progress = HttpResponse::Progress;

// The chunks of a chunked body from `at` on, undone into `body`.
Progress readChunks(const QByteArray& received, qsizetype at, QByteArray& body)
{
    for (;;) {
        const qsizetype lineEnd = received.indexOf("\r\n", at);
        if (lineEnd < 0)
            return Progress::partial;
        bool hex = false;
        const qsizetype size =
            received.mid(at, lineEnd - at).split(';').first().trimmed().toLongLong(&hex, 16);
        if (!hex || size < 0 || body.size() + size > BodyLimit)
            return Progress::broken;
        at = lineEnd + 2;
        if (size == 0) // the last chunk: then trailers, if any, up to an empty line
            return received.mid(at, 2) == "\r\n" || received.indexOf("\r\n\r\n", at) >= 0
                       ? Progress::whole
                       : Progress::partial;
        if (received.size() < at + size + 2)
            return Progress::partial;
        if (received.mid(at + size, 2) != "\r\n")
            return Progress::broken;
        body += received.mid(at, size);
        at += size + 2;
    }
}

} // namespace

HttpResponse readHttpResponse(const QByteArray& received, bool closed)
{
    HttpResponse response;
    const qsizetype headEnd = received.indexOf("\r\n\r\n");
    if (headEnd < 0 || headEnd > HeadLimit) {
        response.progress =
            closed || received.size() > HeadLimit ? Progress::broken : Progress::partial;
        return response;
    }
    const QList<QByteArray> lines = received.left(headEnd).split('\n');
    const QList<QByteArray> statusLine = lines.first().trimmed().split(' ');
    bool numeric = false;
    response.status = statusLine.value(1).toInt(&numeric);
    response.progress = Progress::broken;
    if (!statusLine.first().startsWith("HTTP/1.") || !numeric || statusLine.value(1).size() != 3)
        return response;
    std::optional<qsizetype> length;
    bool chunked = false;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const qsizetype colon = lines.at(i).indexOf(':');
        const QByteArray name = lines.at(i).left(colon).trimmed().toLower();
        const QByteArray value = lines.at(i).mid(colon + 1).trimmed().toLower();
        if (name == "transfer-encoding")
            chunked = value.endsWith("chunked");
        if (name == "content-length") {
            const qsizetype given = value.toLongLong(&numeric);
            if (!numeric || given < 0 || (length && *length != given))
                return response; // an unframed answer could be anything
            length = given;
        }
    }
    const qsizetype bodyStart = headEnd + 4;
    if (chunked) {
        response.progress = readChunks(received, bodyStart, response.body);
    } else if (length) {
        if (*length > BodyLimit)
            return response;
        response.body = received.mid(bodyStart, *length);
        response.progress = response.body.size() == *length ? Progress::whole : Progress::partial;
    } else { // the body ends where the connection does
        response.body = received.mid(bodyStart);
        response.progress = response.body.size() > BodyLimit ? Progress::broken
                            : closed                         ? Progress::whole
                                                             : Progress::partial;
    }
    if (closed && response.progress == Progress::partial)
        response.progress = Progress::broken; // cut short
    return response;
}

void requestMode(quint16 port, std::chrono::milliseconds timeout, QObject* context,
                 std::function<void(bool)> completion, PeerOwnerLookup peerOwner)
{
    struct Exchange
    {
        std::function<void(bool)> completion;
        QByteArray received;
        std::optional<uint> owner; // of the socket that accepted our connection
    };
    auto* socket = new QTcpSocket(context);
    auto exchange = std::make_shared<Exchange>();
    exchange->completion = std::move(completion);
    socket->setProxy(QNetworkProxy::NoProxy);

    const auto finish = [socket, exchange](bool compatible) {
        if (!exchange->completion)
            return; // already ended
        const auto completion = std::move(exchange->completion);
        exchange->completion = nullptr;
        socket->disconnect();
        socket->abort();
        socket->deleteLater();
        completion(compatible);
    };
    if (!peerOwner)
        peerOwner = [](quint16 serverPort, quint16 clientPort) {
            return connectionPeerOwner(serverPort, clientPort);
        };
    const auto askOwner = [socket, exchange, port, peerOwner] {
        exchange->owner = peerOwner(port, socket->localPort());
    };
    QObject::connect(socket, &QTcpSocket::connected, socket, [=] {
        askOwner();
        if (exchange->owner && *exchange->owner != ::geteuid())
            return finish(false); // another user's server, whatever it would answer
        socket->write("GET /api/app-mode HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(port) +
                      "\r\n\r\n");
    });
    const auto take = [=](bool closed) {
        exchange->received += socket->read(HeadLimit + BodyLimit + 1 - exchange->received.size());
        const HttpResponse response = readHttpResponse(exchange->received, closed);
        if (response.progress == Progress::partial &&
            exchange->received.size() <= HeadLimit + BodyLimit)
            return;
        // A handshake the server's side had not completed when we connected has now: the
        // server answered. Our end still holds the connection, so it is the same socket.
        if (!exchange->owner && !closed)
            askOwner();
        finish(response.progress == Progress::whole && exchange->owner == ::geteuid() &&
               isCompatibleAnswer(response.status, response.body));
    };
    QObject::connect(socket, &QTcpSocket::readyRead, socket, [=] { take(false); });
    QObject::connect(socket, &QTcpSocket::disconnected, socket, [=] { take(true); });
    QObject::connect(socket, &QTcpSocket::errorOccurred, socket,
                     [=](QAbstractSocket::SocketError error) {
                         if (error == QAbstractSocket::RemoteHostClosedError)
                             take(true);
                         else
                             finish(false);
                     });
    auto* deadline = new QTimer(socket);
    deadline->setSingleShot(true);
    QObject::connect(deadline, &QTimer::timeout, socket, [=] { finish(false); });
    deadline->start(timeout);
    // From the event loop, so that even a failure at once reaches the completion later.
    QMetaObject::invokeMethod(
        socket,
        [socket, port] { socket->connectToHost(QHostAddress(QHostAddress::LocalHost), port); },
        Qt::QueuedConnection);
}
