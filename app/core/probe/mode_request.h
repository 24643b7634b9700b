#pragma once

#include <QByteArray>
#include <chrono>
#include <functional>
#include <optional>

class QObject;

// What has arrived of an HTTP/1.1 response: not all of it yet, something that is no whole
// response (cut short, malformed, or past the size a mode answer could have), or all of it.
struct HttpResponse
{
    enum class Progress
    {
        partial,
        broken,
        whole
    };
    Progress progress = Progress::partial;
    int status = 0;
    QByteArray body; // undone from its chunks
};
// `closed`: the server has closed the connection, so nothing more will come.
HttpResponse readHttpResponse(const QByteArray& received, bool closed);

// One GET of the server's mode endpoint over a connection of its own to 127.0.0.1:port: no
// proxy, no redirect followed, cut off `timeout` after it began, the connection included.
// `completion` gets true only for a compatible answer from a socket of this user's: the one that
// accepted this very connection, asked of the kernel once connected (and again on the answer if
// the handshake had not yet completed on the server's side). It runs once, always later, from
// the event loop, unless `context` is gone by then. `peerOwner` asks who owns that socket, by
// default connectionPeerOwner; tests refuse it the kernel's socket diagnostics.
using PeerOwnerLookup = std::function<std::optional<uint>(quint16 serverPort, quint16 clientPort)>;
void requestMode(quint16 port, std::chrono::milliseconds timeout, QObject* context,
                 std::function<void(bool)> completion, PeerOwnerLookup peerOwner = {});
