#include "socket_owner.h"

#include <arpa/inet.h>
#include <cstring>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
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

std::optional<uint> connectionPeerOwner(quint16 serverPort, quint16 clientPort)
{
    const int diag = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (diag < 0)
        return std::nullopt;
    std::optional<uint> owner;
    // The kernel answers within the send: the reply is there to read at once, never waited for.
    for (int family : {AF_INET, AF_INET6}) {
        const QByteArray request = peerSocketRequest(family, serverPort, clientPort);
        QByteArray reply(8192, Qt::Uninitialized);
        if (::send(diag, request.constData(), size_t(request.size()), 0) != request.size())
            break;
        const ssize_t got = ::recv(diag, reply.data(), size_t(reply.size()), MSG_DONTWAIT);
        if (got <= 0)
            break;
        reply.truncate(got);
        if ((owner = socketOwnerFromReply(reply, serverPort, clientPort)))
            break;
    }
    ::close(diag);
    return owner;
}
