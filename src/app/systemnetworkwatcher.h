#pragma once

#include "net/netlinkwatcher.h"
#include "net/networkwatcher.h"
#include "net/ownedthread.h"

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

private slots:
    void prepareForSleep(bool sleeping);

private:
    NetlinkWatcher m_netlink;
    // Connecting to the bus waits for its daemon; a slow or missing one must not hold the window.
    OwnedThread m_busThread;
};
