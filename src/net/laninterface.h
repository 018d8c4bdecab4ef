#pragma once

#include <QHostAddress>
#include <QList>
#include <QString>

// What start-up and the diagnosis need to know of one network interface.
struct LanInterface
{
    // Containers, virtual machines and VPNs bring interfaces that look like a LAN but reach no peer.
    enum class Kind { Lan, Loopback, Bridge, Veth, Tunnel };

    struct Entry
    {
        QHostAddress ip;
        int prefixLength = -1;
        QHostAddress broadcast; // null when the interface has none
    };

    QString name;
    Kind kind = Kind::Lan;
    bool up = false;
    bool running = false;
    bool loopback = false;
    bool canBroadcast = false;
    QList<Entry> entries;
};
