#pragma once

#include <QByteArray>
#include <QList>

// The user ids of the sockets that listen on `port` and take connections to 127.0.0.1, read
// from a table in the form of /proc/net/tcp or /proc/net/tcp6.
QList<uint> loopbackListenerOwners(const QByteArray& table, quint16 port);

// Whether a socket that takes our connections to 127.0.0.1:port belongs to another user of this
// machine: whatever it answers, that server is not ours to use.
bool loopbackPortHeldByAnotherUser(quint16 port);
