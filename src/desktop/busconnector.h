#pragma once

#include <QString>
#include <functional>
#include <memory>

class QDBusConnection;

// Joins a D-Bus bus on a thread of its own. Joining waits for the daemon's greeting, which a hung
// daemon never sends, and while it waits Qt's D-Bus thread waits with it: so does every signal
// subscription made meanwhile, on any bus. Subscriptions are therefore made on the joining thread
// too, never on the window's. A thread still waiting when the program ends is left behind.
class BusConnector
{
public:
    enum class Bus { Session, System };
    using Subscribe = std::function<void(const QDBusConnection &)>;

    BusConnector() = default;
    BusConnector(const BusConnector &) = delete;
    BusConnector &operator=(const BusConnector &) = delete;

    // Once. subscribe runs on the joining thread once the bus greeted us, and not at all without
    // a bus; what it subscribes must outlive it or the program must end without destructors.
    // With an address, that bus is joined instead of Qt's default one (see SessionBusDetour).
    void start(Bus bus, Subscribe subscribe, const QString &address = {});
    // Started, and not yet joined and subscribed.
    bool pending() const;

private:
    struct State;
    std::shared_ptr<State> m_state;
};
