#pragma once

#include "diagnosis.h"

// The thin layer that reads this machine for the doctor: /proc, /sys, extended attributes and
// the firewall tools. Everything it returns is judged elsewhere.
namespace Machine {

bool isRoot();
int unprivilegedPortStart();
bool hasBindCapability(const QString &executable);

// Reads nftables, iptables and ufw (root only) and fills the firewall fields.
void readFirewall(Diagnosis &diagnosis, const QList<int> &ports, const QString &interface);

} // namespace Machine
