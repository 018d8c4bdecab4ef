#pragma once

#include "busconnector.h"
#include "net/networkwatcher.h"
#include "netlinkwatcher.h"

class Scheduler;

// The machine's own signs of a changed network: the kernel's address and route notices, and
// logind's word that the machine woke from suspend, when there is a system bus.
class SystemNetworkWatcher : public NetworkWatcher
{
    Q_OBJECT

public:
    explicit SystemNetworkWatcher(Scheduler &scheduler, QObject *parent = nullptr);
    ~SystemNetworkWatcher() override;

    void start() override;
    // Still waiting for the system bus to greet us.
    bool connecting() const;

private slots:
    void prepareForSleep(bool sleeping);

private:
    NetlinkWatcher m_netlink;
    BusConnector m_bus;
};
