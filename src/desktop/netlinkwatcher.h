#pragma once

#include "base/filedescriptor.h"
#include "base/timer.h"

#include <QObject>
#include <memory>

class QSocketNotifier;
class Scheduler;

// The kernel's notices of IPv4 address, route and link changes, read from a netlink socket on
// the event loop. Where no such socket can be had, it looks again every two seconds instead.
class NetlinkWatcher : public QObject
{
    Q_OBJECT

public:
    explicit NetlinkWatcher(Scheduler &scheduler, QObject *parent = nullptr);
    ~NetlinkWatcher() override;

    void start();
    bool usesKernelNotices() const { return m_socket != nullptr; }

signals:
    void changed();

private:
    void readNotices();

    Scheduler &m_scheduler;
    std::unique_ptr<FileDescriptor> m_socket;
    QSocketNotifier *m_notifier = nullptr;
    std::unique_ptr<Timer> m_poll;
};
