#pragma once

#include <QObject>

// Tells when the machine's network may have changed under the running program. It only says
// when to look again; what changed is decided by asking the network for the address once more.
class NetworkWatcher : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;
    ~NetworkWatcher() override;

    // Begins watching. Called once, after start-up has announced the instance, so that nothing
    // here delays the window or the join notice.
    virtual void start() = 0;

signals:
    // An address, a route or a link changed somewhere on the machine.
    void addressesMayHaveChanged();
    // The machine woke from suspend: notices of peers may have been missed meanwhile.
    void resumed();
};
