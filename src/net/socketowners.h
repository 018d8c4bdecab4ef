#pragma once

#include <QList>
#include <QString>
#include <optional>

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

struct PortHolder
{
    int port = 0;
    std::optional<Process> process; // unset when /proc does not say (another user's)
};

// The ports of the list that a UDP socket of this machine holds, each with its process when
// /proc names it; read from this machine's /proc.
QList<PortHolder> portHolders(const QList<int> &ports);

} // namespace SocketOwners
