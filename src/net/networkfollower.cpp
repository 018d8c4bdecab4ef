#include "networkfollower.h"

#include "base/scheduler.h"
#include "chatsession.h"
#include "datagramnetwork.h"
#include "networkwatcher.h"

NetworkFollower::NetworkFollower(ChatSession &session, DatagramNetwork &network, Scheduler &scheduler,
                                 QObject *parent)
    : QObject(parent), m_session(session), m_network(network),
      m_quiet(scheduler.createTimer(Timer::SingleShot, Qt::CoarseTimer)),
      m_bound(scheduler.createTimer(Timer::SingleShot, Qt::CoarseTimer))
{
    connect(m_quiet.get(), &Timer::timeout, this, &NetworkFollower::lookAgain);
    connect(m_bound.get(), &Timer::timeout, this, &NetworkFollower::lookAgain);
}

NetworkFollower::~NetworkFollower() = default;

void NetworkFollower::watch(NetworkWatcher &watcher)
{
    connect(&watcher, &NetworkWatcher::addressesMayHaveChanged, this,
            &NetworkFollower::addressesMayHaveChanged);
    connect(&watcher, &NetworkWatcher::resumed, this, &NetworkFollower::resumed);
    watcher.start();
}

void NetworkFollower::addressesMayHaveChanged()
{
    m_quiet->start(quietMs);
    if (!m_bound->isActive())
        m_bound->start(boundMs);
}

void NetworkFollower::resumed()
{
    // The network is often reconfigured right after waking: one look covers both.
    m_resumed = true;
    addressesMayHaveChanged();
}

void NetworkFollower::lookAgain()
{
    m_quiet->stop();
    m_bound->stop();
    QString error;
    const auto address = m_network.localAddress(error);
    m_session.followAddress(address ? std::optional<QString>(address->toString()) : std::nullopt,
                            std::exchange(m_resumed, false));
}
