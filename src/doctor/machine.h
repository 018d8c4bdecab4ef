#pragma once

#include "diagnosis.h"

// The thin layer that reads this machine for the doctor: /proc, /sys, extended attributes and
// the firewall tools. Everything it returns is judged elsewhere.
namespace Machine {

bool isRoot();
int unprivilegedPortStart();
bool hasBindCapability(const QString &executable);

// Reads nftables, iptables and ufw (root only) and fills the firewall fields: the chat's UDP ports
// and the share server's TCP ports.
void readFirewall(Diagnosis &diagnosis, const QList<int> &udpPorts, const QList<int> &tcpPorts,
                  const QString &interface);

// The TCP ports from first to last that a program listens on; nothing when /proc/net/tcp is unreadable.
std::optional<QList<int>> listeningTcpPorts(int first, int last);

// Whether the history's file holds a share or an open drop point of the chat on chatPort that has
// not expired at nowMs, read without writing; nothing when the file cannot be read.
std::optional<bool> chatServes(const QString &historyPath, int chatPort, qint64 nowMs);

} // namespace Machine
