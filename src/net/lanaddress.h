#pragma once

#include "laninterface.h"

#include <optional>

// Which interface and address the chat uses on this machine, decided on plain data.
namespace LanAddress {

// What the kernel says of an interface (/sys/class/net/<name>).
struct KernelFacts
{
    bool bridge = false;                 // has a bridge/ folder
    bool bridgeWithPhysicalPort = false; // one of its ports is a real network card
    bool tun = false;                    // has tun_flags
    QString devType;                     // DEVTYPE= of uevent
    int arpType = 1;                     // type: 1 Ethernet, 512 PPP, 65534 none (tun)
};

// By name first (docker0, virbr0, wg0, ...), then by what the kernel says. A bridge that holds a
// real network card is the LAN itself.
LanInterface::Kind kindOf(const QString &name, const KernelFacts &facts);
bool isVirtual(LanInterface::Kind kind);
QString kindName(LanInterface::Kind kind);

// Up, running, not loopback, able to broadcast.
bool isUsable(const LanInterface &interface);

struct Choice
{
    int interface = -1; // index into the list
    int entry = -1;     // index into its entries
    QHostAddress address;
};

// The interface that carries the default route when known; else the first usable one that is
// not virtual, and a virtual one only when nothing else is left.
std::optional<Choice> choose(const QList<LanInterface> &interfaces,
                             const std::optional<QHostAddress> &defaultRouteSource);
std::optional<QHostAddress> chooseLanAddress(const QList<LanInterface> &interfaces,
                                             const std::optional<QHostAddress> &defaultRouteSource);

} // namespace LanAddress
