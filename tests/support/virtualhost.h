#pragma once

#include "net/datagramnetwork.h"
#include "net/datagramsocket.h"

class VirtualLan;

// One machine on the virtual LAN.
class VirtualHost : public DatagramNetwork
{
public:
    VirtualHost(VirtualLan &lan, const QHostAddress &address, const QString &hostName);

    std::unique_ptr<DatagramSocket> createSocket() override;
    std::optional<QHostAddress> localAddress(QString &error) override;
    QString localHostName() override;

    QHostAddress address() const { return m_address; }
    void setNetworkAvailable(bool available) { m_networkAvailable = available; }
    void setCanBindPrivileged(bool can) { m_canBindPrivileged = can; }

private:
    VirtualLan &m_lan;
    QHostAddress m_address;
    QString m_hostName;
    bool m_networkAvailable = true;
    bool m_canBindPrivileged = true;
};
