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
    m_netlink.start();
    // No system bus means no resume notice, and nothing else changes.
    m_bus.start(BusConnector::Bus::System, [this](const QDBusConnection &bus) {
        QDBusConnection(bus).connect(QStringLiteral("org.freedesktop.login1"),
                                     QStringLiteral("/org/freedesktop/login1"),
                                     QStringLiteral("org.freedesktop.login1.Manager"),
                                     QStringLiteral("PrepareForSleep"), this, SLOT(prepareForSleep(bool)));
    });
}

bool SystemNetworkWatcher::connecting() const
{
    return m_bus.pending();
}

void SystemNetworkWatcher::prepareForSleep(bool sleeping)
{
    if (!sleeping)
        emit resumed();
}
