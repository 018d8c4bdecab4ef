#pragma once

// The kernel's view of this process's UDP sockets, for the receivers run in a bench namespace.

#include <QByteArray>
#include <QHash>

namespace Bench {

// This process's UDP socket bound to the port (the socket itself is private to the program), or -1.
int socketOf(quint16 port);

// The receive buffer the kernel granted to the socket, or -1.
int receiveBufferOf(int fd);

// The kernel's row for the UDP socket bound to the port in this network namespace: bytes
// waiting in the receive queue and datagrams dropped on arrival.
struct SocketRow
{
    long long receiveQueue = -1;
    long long drops = -1;
};

SocketRow socketRowOf(quint16 port);

// The namespace's UDP counters (/proc/net/snmp), by name.
QHash<QByteArray, long long> udpCounters();

} // namespace Bench
