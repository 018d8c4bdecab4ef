#include "busconnector.h"

#include <QDBusConnection>
#include <atomic>
#include <thread>

// Shared with the joining thread, which may outlive the connector.
struct BusConnector::State
{
    std::atomic<bool> done = false;
};

void BusConnector::start(Bus bus, Subscribe subscribe)
{
    if (m_state)
        return;
    m_state = std::make_shared<State>();
    std::thread([state = m_state, bus, subscribe = std::move(subscribe)] {
        const QDBusConnection connection =
            bus == Bus::Session ? QDBusConnection::sessionBus() : QDBusConnection::systemBus();
        if (connection.isConnected())
            subscribe(connection);
        state->done = true;
    }).detach();
}

bool BusConnector::pending() const
{
    return m_state && !m_state->done;
}
