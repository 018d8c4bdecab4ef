#pragma once

#include <QList>
#include <QString>

// Which TCP ports a program of this machine listens on, from /proc/net/tcp{,6}.
namespace TcpListeners {

// The ports from first to last, in order and once each, that a listening socket in the text of
// /proc/net/tcp or /proc/net/tcp6 is bound to, on any local address.
QList<int> ports(const QString &procNetTcp, int first, int last);

} // namespace TcpListeners
