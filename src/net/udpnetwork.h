#pragma once

#include "datagramsocket.h"

// What start-up needs to know of one network interface.
struct LanInterface
{
    bool up = false;
    bool running = false;
    bool loopback = false;
    bool canBroadcast = false;
    QList<QHostAddress> addresses;
};

// The machine's real network over QUdpSocket.
class UdpNetwork : public DatagramNetwork
{
public:
    std::unique_ptr<DatagramSocket> createSocket() override;
    std::optional<QHostAddress> localAddress(QString &error) override;
    QString localHostName() override;

    // The LAN address among the interfaces: the one that carries the default route when known,
    // else the first interface that is up, running, not loopback and able to broadcast.
    static std::optional<QHostAddress> chooseLanAddress(const QList<LanInterface> &interfaces,
                                                        const std::optional<QHostAddress> &defaultRouteSource);
};
