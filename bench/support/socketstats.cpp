#include "socketstats.h"

#include <QFile>
#include <QList>
#include <netinet/in.h>
#include <sys/socket.h>

namespace Bench {

int socketOf(quint16 port)
{
    for (int fd = 0; fd < 1024; ++fd) {
        sockaddr_in address = {};
        socklen_t length = sizeof address;
        int type = 0;
        socklen_t typeLength = sizeof type;
        if (::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) != 0 ||
            address.sin_family != AF_INET || ntohs(address.sin_port) != port ||
            ::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &typeLength) != 0 || type != SOCK_DGRAM)
            continue;
        return fd;
    }
    return -1;
}

int receiveBufferOf(int fd)
{
    int size = 0;
    socklen_t sizeLength = sizeof size;
    return fd >= 0 && ::getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, &sizeLength) == 0 ? size : -1;
}

SocketRow socketRowOf(quint16 port)
{
    QFile table(QStringLiteral("/proc/self/net/udp"));
    SocketRow row;
    if (!table.open(QIODevice::ReadOnly))
        return row;
    const QByteArray local = ':' + QByteArray::number(port, 16).toUpper().rightJustified(4, '0');
    for (const QByteArray &line : table.readAll().split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() < 13 || !fields.at(1).endsWith(local))
            continue;
        row.receiveQueue = fields.at(4).split(':').value(1).toLongLong(nullptr, 16);
        row.drops = fields.at(12).toLongLong();
    }
    return row;
}

QHash<QByteArray, long long> udpCounters()
{
    QFile snmp(QStringLiteral("/proc/self/net/snmp"));
    QHash<QByteArray, long long> counters;
    if (!snmp.open(QIODevice::ReadOnly))
        return counters;
    QList<QByteArray> names;
    for (const QByteArray &line : snmp.readAll().split('\n')) {
        if (!line.startsWith("Udp: "))
            continue;
        const QList<QByteArray> fields = line.mid(5).simplified().split(' ');
        if (names.isEmpty()) {
            names = fields;
            continue;
        }
        for (int i = 0; i < fields.size() && i < names.size(); ++i)
            counters.insert(names.at(i), fields.at(i).toLongLong());
        break;
    }
    return counters;
}

} // namespace Bench
