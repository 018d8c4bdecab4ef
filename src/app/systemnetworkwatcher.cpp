#include "systemnetworkwatcher.h"

#include <QDBusConnection>

SystemNetworkWatcher::SystemNetworkWatcher(Scheduler &scheduler, QObject *parent)
    : NetworkWatcher(parent), m_netlink(scheduler)
{
    connect(&m_netlink, &NetlinkWatcher::changed, this, &NetworkWatcher::addressesMayHaveChanged);
}

SystemNetworkWatcher::~SystemNetworkWatcher() = default;

void SystemNetworkWatcher::start()
{
    if (m_busThread)
        return;
    m_netlink.start();
    // The signal is delivered on this object's thread, the window's; only the connecting happens
    // on the helper thread. No system bus means no resume notice, and nothing else changes.
    m_busThread.reset(QThread::create([this] {
        QDBusConnection bus = QDBusConnection::systemBus();
        if (!bus.isConnected())
            return;
        bus.connect(QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
                    QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("PrepareForSleep"), this,
                    SLOT(prepareForSleep(bool)));
    }));
    m_busThread->start();
}

void SystemNetworkWatcher::prepareForSleep(bool sleeping)
{
    if (!sleeping)
        emit resumed();
}
