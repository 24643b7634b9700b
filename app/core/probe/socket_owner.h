#pragma once

#include <QByteArray>
#include <optional>

// The owner of the server's end of one of our connections to 127.0.0.1:serverPort, the one that
// leaves from 127.0.0.1:clientPort, as the kernel's socket diagnostics (sock_diag) tell it. That
// end was accepted from whatever listener took the connection, bound to whatever address, so its
// owner is the answering server's, however the listener changed since.

// The request for that one socket, of `family`: AF_INET, or AF_INET6 with IPv4-mapped addresses
// for a dual-stack listener's (on this kernel either finds both; an older one may not).
QByteArray peerSocketRequest(int family, quint16 serverPort, quint16 clientPort);

// The user id that the kernel's `reply` gives for that socket. None for no socket, an error or a
// reply about another socket, and for what the kernel names no owner of: the remains of a closed
// connection (time-wait) and a handshake not yet completed. Only a whole socket's reply carries
// its shutdown state, and only its user id is the owner's.
std::optional<uint> socketOwnerFromReply(const QByteArray& reply, quint16 serverPort,
                                         quint16 clientPort);

// The user id that the kernel's table of TCP sockets (the text of /proc/net/tcp or tcp6) gives
// for that socket, by the same rule: none for a handshake not yet completed or time-wait.
std::optional<uint> socketOwnerFromTable(const QByteArray& table, quint16 serverPort,
                                         quint16 clientPort);

// A netlink socket for the kernel's socket diagnostics; -1, with errno, when it cannot be had.
int openSockDiag();

// Asks the kernel, while our end of the connection is held open; none when it cannot tell. Where
// socket diagnostics cannot be asked at all (refused, or missing from the kernel), the socket
// tables in /proc/net tell the same, more slowly. `openDiag` lets a test refuse them.
std::optional<uint> connectionPeerOwner(quint16 serverPort, quint16 clientPort,
                                        int (*openDiag)() = openSockDiag);
