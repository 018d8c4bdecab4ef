#pragma once

#include "base/timer.h"

#include <QObject>
#include <memory>

class ChatSession;
class DatagramNetwork;
class NetworkWatcher;
class Scheduler;

// Looks at the machine's address again when the watcher says the network may have changed, and
// lets the chat session follow it. The kernel sends its notices in bursts (an address goes, a
// route goes, the new ones come), so it looks once the burst is over: after a quiet spell, or
// after a bound at the latest, so that a flapping link cannot put the look off for good.
class NetworkFollower : public QObject
{
    Q_OBJECT

public:
    static constexpr int quietMs = 500;
    static constexpr int boundMs = 2000;

    NetworkFollower(ChatSession &session, DatagramNetwork &network, Scheduler &scheduler,
                    QObject *parent = nullptr);
    ~NetworkFollower() override;

    void watch(NetworkWatcher &watcher);
    void addressesMayHaveChanged();
    void resumed();

private:
    void lookAgain();

    ChatSession &m_session;
    DatagramNetwork &m_network;
    std::unique_ptr<Timer> m_quiet;
    std::unique_ptr<Timer> m_bound;
    bool m_resumed = false;
};
