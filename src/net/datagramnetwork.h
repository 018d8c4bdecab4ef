#pragma once

#include <QHostAddress>
#include <QString>
#include <memory>
#include <optional>

class DatagramSocket;

// What the program asks of the machine's network: sockets, its own address and host name.
class DatagramNetwork
{
public:
    virtual ~DatagramNetwork();

    virtual std::unique_ptr<DatagramSocket> createSocket() = 0;
    // The IPv4 address of the LAN interface, or the reason there is none.
    virtual std::optional<QHostAddress> localAddress(QString &error) = 0;
    virtual QString localHostName() = 0;
};
