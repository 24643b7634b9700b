#include "socket_owner.h"

#include <QFile>

#include <unistd.h>

QList<uint> loopbackListenerOwners(const QByteArray& table, quint16 port)
{
    // Addresses as the kernel prints them (each 32-bit word in host order): 127.0.0.1 and the
    // wildcard, in IPv4, and in IPv6 the wildcard and the IPv4-mapped 127.0.0.1.
    static const QList<QByteArray> takesLoopback{"0100007F", "00000000",
                                                 "00000000000000000000000000000000",
                                                 "0000000000000000FFFF00000100007F"};
    constexpr int LocalAddress = 1, State = 3, Uid = 7;
    const QByteArray listening = "0A";
    QList<uint> owners;
    const QList<QByteArray> lines = table.split('\n');
    for (qsizetype i = 1; i < lines.size(); ++i) { // the first line names the columns
        const QList<QByteArray> fields = lines.at(i).simplified().split(' ');
        if (fields.size() <= Uid || fields.at(State) != listening)
            continue;
        const QList<QByteArray> address = fields.at(LocalAddress).split(':');
        bool numeric = false;
        if (address.size() == 2 && address.at(1).toUInt(&numeric, 16) == port && numeric &&
            takesLoopback.contains(address.at(0).toUpper()))
            owners.append(fields.at(Uid).toUInt());
    }
    return owners;
}

bool loopbackPortHeldByAnotherUser(quint16 port)
{
    for (const char* path : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        QFile table(QString::fromLatin1(path));
        if (!table.open(QIODevice::ReadOnly))
            continue;
        const QList<uint> owners = loopbackListenerOwners(table.readAll(), port);
        for (uint owner : owners)
            if (owner != ::geteuid())
                return true;
    }
    return false;
}
