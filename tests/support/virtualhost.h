#pragma once

#include "net/datagramnetwork.h"
#include "net/datagramsocket.h"

#include <memory>

class VirtualLan;

// What a host's sockets see of it at the moment they send or are sent to.
struct VirtualHostState
{
    QHostAddress address;
    bool networkAvailable = true;
};

// One machine on the virtual LAN.
class VirtualHost : public DatagramNetwork
{
public:
    VirtualHost(VirtualLan &lan, const QHostAddress &address, const QString &hostName);

    std::unique_ptr<DatagramSocket> createSocket() override;
    std::optional<QHostAddress> localAddress(QString &error) override;
    QString localHostName() override;

    QHostAddress address() const { return m_state->address; }
    // The host moves to another address; its bound sockets stay bound and go with it, as sockets
    // bound to every interface do.
    void setAddress(const QString &address) { m_state->address = QHostAddress(address); }
    // Without network the host has no address to offer and its sends fail.
    void setNetworkAvailable(bool available) { m_state->networkAvailable = available; }
    void setCanBindPrivileged(bool can) { m_canBindPrivileged = can; }

private:
    VirtualLan &m_lan;
    std::shared_ptr<VirtualHostState> m_state;
    QString m_hostName;
    bool m_canBindPrivileged = true;
};
