#pragma once

#include <QList>
#include <QString>

// Who holds a UDP port, from /proc/net/udp{,6} and the sockets among /proc/<pid>/fd.
namespace SocketOwners {

// The socket inodes bound to the local port, any local address, in the text of /proc/net/udp
// or /proc/net/udp6.
QList<quint64> inodesOnPort(const QString &procNetUdp, int port);

// The inode of a "socket:[12345]" link, 0 for anything else.
quint64 socketInode(const QString &fdLink);

struct Process
{
    int pid = 0;
    QString name;       // comm
    QString executable; // the exe link, empty when it cannot be read
};

// The chat itself: its executable's file name, or its command name when the link is unreadable.
bool isChat(const Process &process);

} // namespace SocketOwners
