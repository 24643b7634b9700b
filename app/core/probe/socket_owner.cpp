#include "probe/socket_owner.h"

#include <QFile>
#include <arpa/inet.h>
#include <cstring>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr quint32 Loopback = INADDR_LOOPBACK; // 127.0.0.1, in host order

// An address as inet_diag_sockid holds it: four 32-bit words in network order, an IPv4
// address in the first, or IPv6's ::ffff:a.b.c.d.
void putAddress(__be32 (&words)[4], int family)
{
    std::memset(words, 0, sizeof words);
    if (family == AF_INET6) {
        words[2] = htonl(0xffff);
        words[3] = htonl(Loopback);
    } else {
        words[0] = htonl(Loopback);
    }
}

// Whether `field` of a socket table row, "address:port" in hex, names 127.0.0.1:port: an IPv4
// address is one word, an IPv6 address four, each as the kernel holds it.
bool isLoopback(const QByteArray& field, quint16 port)
{
    const QList<QByteArray> parts = field.split(':');
    const qsizetype words = parts.first().size() / 8;
    if (parts.size() != 2 || parts.first().size() % 8 || (words != 1 && words != 4) ||
        parts.last().size() != 4 || parts.last().toUInt(nullptr, 16) != port)
        return false;
    __be32 loopback[4];
    putAddress(loopback, words == 1 ? AF_INET : AF_INET6);
    for (qsizetype i = 0; i < words; ++i) {
        bool hex = false;
        const uint word = parts.first().mid(i * 8, 8).toUInt(&hex, 16);
        if (!hex || word != loopback[i])
            return false;
    }
    return true;
}

// Whether a row's state and timer ("tr" of "tr:tm->when") are a whole socket's past its
// handshake. A handshake not yet completed (syn-recv) and the remains of a closed connection are
// what socket diagnostics name no owner of: the remains show as root's, in time-wait or, closed
// before our end, in fin-wait-2, with the time-wait timer, 3.
bool isWholeConnection(const QByteArray& state, const QByteArray& timer)
{
    bool numeric = false;
    switch (state.toUInt(&numeric, 16)) {
    case TCP_ESTABLISHED:
    case TCP_FIN_WAIT1:
    case TCP_FIN_WAIT2:
    case TCP_CLOSE:
    case TCP_CLOSE_WAIT:
    case TCP_LAST_ACK:
    case TCP_CLOSING:
        return numeric && !timer.startsWith("03:");
    default:
        return false;
    }
}

// The owner of the socket 127.0.0.1:from to 127.0.0.1:to, of either family, asked on `diag`. The
// kernel answers within the send: the reply is there to read at once, never waited for.
std::optional<uint> askKernel(int diag, quint16 from, quint16 to)
{
    for (int family : {AF_INET, AF_INET6}) {
        const QByteArray request = peerSocketRequest(family, from, to);
        QByteArray reply(8192, Qt::Uninitialized);
        if (::send(diag, request.constData(), size_t(request.size()), 0) != request.size())
            return std::nullopt;
        const ssize_t got = ::recv(diag, reply.data(), size_t(reply.size()), MSG_DONTWAIT);
        if (got <= 0)
            return std::nullopt;
        reply.truncate(got);
        if (const auto owner = socketOwnerFromReply(reply, from, to))
            return owner;
    }
    return std::nullopt;
}

} // namespace

QByteArray peerSocketRequest(int family, quint16 serverPort, quint16 clientPort)
{
    struct
    {
        nlmsghdr header;
        inet_diag_req_v2 request;
    } message{};
    message.header.nlmsg_len = sizeof message;
    message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    message.header.nlmsg_flags = NLM_F_REQUEST; // one socket, named exactly: no dump
    message.request.sdiag_family = static_cast<__u8>(family);
    message.request.sdiag_protocol = IPPROTO_TCP;
    message.request.idiag_states = ~0U;
    // The server's end: its own address and port are the source, ours the destination.
    message.request.id.idiag_sport = htons(serverPort);
    message.request.id.idiag_dport = htons(clientPort);
    putAddress(message.request.id.idiag_src, family);
    putAddress(message.request.id.idiag_dst, family);
    message.request.id.idiag_cookie[0] = message.request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    return QByteArray(reinterpret_cast<const char*>(&message), sizeof message);
}

std::optional<uint> socketOwnerFromReply(const QByteArray& reply, quint16 serverPort,
                                         quint16 clientPort)
{
    nlmsghdr header{};
    inet_diag_msg socket{};
    if (static_cast<size_t>(reply.size()) < NLMSG_LENGTH(sizeof socket))
        return std::nullopt;
    std::memcpy(&header, reply.constData(), sizeof header);
    if (header.nlmsg_type != SOCK_DIAG_BY_FAMILY || header.nlmsg_len > size_t(reply.size()) ||
        header.nlmsg_len < NLMSG_LENGTH(sizeof socket))
        return std::nullopt;
    std::memcpy(&socket, reply.constData() + NLMSG_HDRLEN, sizeof socket);
    if (ntohs(socket.id.idiag_sport) != serverPort || ntohs(socket.id.idiag_dport) != clientPort)
        return std::nullopt;
    // The attributes that follow the socket's fields.
    for (size_t at = NLMSG_LENGTH(NLMSG_ALIGN(sizeof socket));
         at + sizeof(nlattr) <= header.nlmsg_len;) {
        nlattr attribute{};
        std::memcpy(&attribute, reply.constData() + at, sizeof attribute);
        if (attribute.nla_len < sizeof attribute)
            break;
        if ((attribute.nla_type & NLA_TYPE_MASK) == INET_DIAG_SHUTDOWN)
            return socket.idiag_uid;
        at += NLA_ALIGN(attribute.nla_len);
    }
    return std::nullopt;
}

std::optional<uint> socketOwnerFromTable(const QByteArray& table, quint16 serverPort,
                                         quint16 clientPort)
{
    // sl local_address rem_address st tx_queue:rx_queue tr:tm->when retrnsmt uid ...
    for (const QByteArray& line : table.split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() < 8 || !isLoopback(fields.at(1), serverPort) ||
            !isLoopback(fields.at(2), clientPort) || !isWholeConnection(fields.at(3), fields.at(5)))
            continue;
        bool numeric = false;
        const uint owner = fields.at(7).toUInt(&numeric);
        if (numeric)
            return owner;
    }
    return std::nullopt;
}

int openSockDiag()
{
    return ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
}

std::optional<uint> connectionPeerOwner(quint16 serverPort, quint16 clientPort, int (*openDiag)())
{
    if (const int diag = openDiag(); diag >= 0) {
        const auto owner = askKernel(diag, serverPort, clientPort);
        // No answer of the server's end is the kernel's word only if it knows our own end: one
        // without the diagnostics for TCP says "no such socket" of every socket alike.
        const bool answers = owner || askKernel(diag, clientPort, serverPort);
        ::close(diag);
        if (answers)
            return owner;
    }
    for (const auto path : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        QFile table(QString::fromLatin1(path));
        if (!table.open(QIODevice::ReadOnly))
            continue;
        if (const auto owner = socketOwnerFromTable(table.readAll(), serverPort, clientPort))
            return owner;
    }
    return std::nullopt;
}
