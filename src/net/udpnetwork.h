#pragma once

#include "datagramnetwork.h"

// The machine's real network over QUdpSocket.
class UdpNetwork : public DatagramNetwork
{
public:
    std::unique_ptr<DatagramSocket> createSocket() override;
    std::optional<QHostAddress> localAddress(QString &error) override;
    QString localHostName() override;
};
