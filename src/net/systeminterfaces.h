#pragma once

#include "lanaddress.h"

#include <optional>

// The machine's interfaces and routing table, as the chat and the diagnosis see them.
namespace SystemInterfaces {

QList<LanInterface> read();

// Read from /sys/class/net/<name>; all false for a name it does not know.
LanAddress::KernelFacts kernelFacts(const QString &name);

// The source address a packet to the outside would leave from; nothing is sent.
std::optional<QHostAddress> defaultRouteSource();

} // namespace SystemInterfaces
