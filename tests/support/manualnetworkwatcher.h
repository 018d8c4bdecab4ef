#pragma once

#include "net/networkwatcher.h"

// A network watcher that a test fires by hand.
class ManualNetworkWatcher : public NetworkWatcher
{
    Q_OBJECT

public:
    using NetworkWatcher::NetworkWatcher;

    void start() override { started = true; }
    void fireChange() { emit addressesMayHaveChanged(); }
    void fireResume() { emit resumed(); }

    bool started = false;
};
