#include "busconnector.h"

#include <QDBusConnection>
#include <atomic>
#include <thread>

namespace {

QDBusConnection join(BusConnector::Bus bus, const QString &address)
{
    const bool session = bus == BusConnector::Bus::Session;
    // Made once by name and shared by the connectors that ask for it.
    if (!address.isEmpty())
        return QDBusConnection::connectToBus(address, session ? QStringLiteral("zumzum-session")
                                                              : QStringLiteral("zumzum-system"));
    return session ? QDBusConnection::sessionBus() : QDBusConnection::systemBus();
}

} // namespace

// Shared with the joining thread, which may outlive the connector.
struct BusConnector::State
{
    std::atomic<bool> done = false;
};

void BusConnector::start(Bus bus, Subscribe subscribe, const QString &address)
{
    if (m_state)
        return;
    m_state = std::make_shared<State>();
    std::thread([state = m_state, bus, subscribe = std::move(subscribe), address] {
        const QDBusConnection connection = join(bus, address);
        if (connection.isConnected())
            subscribe(connection);
        state->done = true;
    }).detach();
}

bool BusConnector::pending() const
{
    return m_state && !m_state->done;
}
