#include "relaycore.h"

#include "base/cp932.h"
#include "base/scheduler.h"
#include "net/datagram.h"

#include <QHostAddress>
#include <algorithm>

namespace {

const QString activeWord = QStringLiteral("active");
const QString standbyWord = QStringLiteral("standby");
const QString lapsedWord = QStringLiteral("lapsed");
// A stored join notice longer than this is still forwarded live, only not kept for a rebroadcast.
constexpr qsizetype largestRetained = 512;

std::optional<Datagram::Fields> fieldsOf(const QByteArray &payload)
{
    return Datagram::split(Cp932::decode(payload));
}

// Only a dotted IPv4 address as the instances write it becomes a topic level.
bool isPlainAddress(const QString &text)
{
    QHostAddress address;
    return address.setAddress(text) && address.protocol() == QAbstractSocket::IPv4Protocol &&
           address.toString() == text;
}

QString statusWord(const QByteArray &payload)
{
    return QString::fromUtf8(payload).section(QLatin1Char(' '), 0, 0);
}

} // namespace

bool RateWindow::take(quint32 source, qint64 now)
{
    // Kept: what was taken at now - 1000 or later, so that even a closed span of 1000 ms holds no
    // more than the limits.
    while (!m_taken.empty() && m_taken.front().first < now - 1000) {
        const auto it = m_bySource.find(m_taken.front().second);
        if (--it.value() == 0)
            m_bySource.erase(it);
        m_taken.pop_front();
    }
    if (int(m_taken.size()) >= m_total || m_bySource.value(source) >= m_perSource)
        return false;
    m_taken.emplace_back(now, source);
    ++m_bySource[source];
    return true;
}

RelayCore::RelayCore(Settings settings, BrokerLink &broker, LanLink &lan, Scheduler &scheduler, Clock clock,
                     Limits limits)
    : m_settings(std::move(settings)), m_broker(broker), m_lan(lan), m_clock(std::move(clock)),
      m_limits(limits), m_toBroker(limits.perSourcePerSecond, limits.totalPerSecond),
      m_toLan(limits.totalPerSecond, limits.totalPerSecond)
{
    m_election = scheduler.createTimer(Timer::SingleShot, Qt::CoarseTimer);
    connect(m_election.get(), &Timer::timeout, this, &RelayCore::electNow);
    m_pacer = scheduler.createTimer(Timer::Repeating, Qt::PreciseTimer);
    connect(m_pacer.get(), &Timer::timeout, this, &RelayCore::paceTick);
    m_watch = scheduler.createTimer(Timer::Repeating, Qt::PreciseTimer);
    connect(m_watch.get(), &Timer::timeout, this, &RelayCore::watch);

    connect(&m_broker, &BrokerLink::connected, this, &RelayCore::onConnected);
    connect(&m_broker, &BrokerLink::disconnected, this, &RelayCore::onDisconnected);
    connect(&m_broker, &BrokerLink::refused, this, &RelayCore::onDisconnected);
    connect(&m_broker, &BrokerLink::messageReceived, this, &RelayCore::onMessage);
}

RelayCore::~RelayCore() = default;

QString RelayCore::topic(const QString &rest) const
{
    return m_settings.topicPrefix + QStringLiteral("/v1/") + rest;
}

QString RelayCore::statusTopic() const
{
    return topic(QStringLiteral("relays/%1/%2").arg(m_settings.subnetKey, m_settings.relayId));
}

bool RelayCore::sameSegment(const QString &subnetKey) const
{
    // The relay of another chat port on this subnet: its instances' notices are heard here
    // directly, and sending them again would bounce them between the two relays for ever.
    return subnetKey.section(QLatin1Char('-'), 0, -2) ==
           m_settings.subnetKey.section(QLatin1Char('-'), 0, -2);
}

bool RelayCore::isValidPresence(const QByteArray &payload)
{
    const auto fields = fieldsOf(payload);
    return fields && (fields->field0 == Datagram::joinKind || fields->field0 == Datagram::leaveKind);
}

bool RelayCore::isValidChat(const QByteArray &payload)
{
    return fieldsOf(payload).has_value();
}

bool RelayCore::isToSubnet(const LanDatagram &datagram) const
{
    if (datagram.destination == m_settings.broadcastAddress)
        return true;
    return datagram.destination == 0xFFFFFFFFu &&
           (m_settings.interfaceIndex == 0 || datagram.interfaceIndex == m_settings.interfaceIndex);
}

RelayCore::Role RelayCore::decide(const QString &ownId, Role current, const QHash<QString, QString> &others)
{
    bool otherActive = false;
    bool lowerActive = false;
    bool lowerPresent = false;
    for (auto it = others.cbegin(); it != others.cend(); ++it) {
        const bool lower = it.key() < ownId;
        lowerPresent = lowerPresent || lower;
        if (it.value() == activeWord) {
            otherActive = true;
            lowerActive = lowerActive || lower;
        }
    }
    // One that forwards already keeps doing so; of two that both forward, the lower id stays.
    if (current == Role::Active)
        return lowerActive ? Role::Standby : Role::Active;
    return otherActive || lowerPresent ? Role::Standby : Role::Active;
}

QHash<QString, QString> RelayCore::livePeers() const
{
    QHash<QString, QString> live;
    for (auto it = m_peers.cbegin(); it != m_peers.cend(); ++it) {
        if (it.value() != lapsedWord && !m_lost.contains(it.key()))
            live.insert(it.key(), it.value());
    }
    return live;
}

bool RelayCore::holdsLease(qint64 now) const
{
    return m_role == Role::Active && m_confirmed >= m_activeSince && now - m_confirmed <= m_limits.leaseMs;
}

bool RelayCore::forwarding() const
{
    return holdsLease(m_clock());
}

bool RelayCore::keepsForwarding()
{
    if (m_role != Role::Active)
        return false;
    const qint64 now = m_clock();
    if (holdsLease(now))
        return true;
    // A relay that was frozen, or whose broker stopped answering, may have been replaced
    // meanwhile: it stops before it forwards anything that waited for it.
    if (now - std::max(m_confirmed, m_activeSince) > m_limits.leaseMs) {
        emit leaseLapsed();
        m_lapsed = true;
        m_lapsedSince = now;
        m_election->stop();
        setRole(Role::Standby);
        if (m_connected)
            sendHeartbeat(now);
    }
    return false;
}

void RelayCore::lanDatagrams(Channel channel, const QList<LanDatagram> &datagrams)
{
    // The relay that forwards for this subnet is another one, or this one is not sure it still is.
    if (!keepsForwarding())
        return;
    for (const LanDatagram &datagram : datagrams) {
        // The relay hears its own rebroadcasts; nothing else on this machine can use the ports.
        if (datagram.source == m_settings.ownAddress) {
            ++m_counts.droppedLoop;
            continue;
        }
        // Meant for this machine alone, as a selected-only line is for its addressee.
        if (!isToSubnet(datagram)) {
            ++m_counts.droppedUnicast;
            continue;
        }
        forward(channel, datagram.payload, datagram.source);
    }
}

void RelayCore::forward(Channel channel, const QByteArray &payload, quint32 source)
{
    const auto fields = fieldsOf(payload);
    const bool presence = channel == Channel::Presence;
    if (!fields ||
        (presence && fields->field0 != Datagram::joinKind && fields->field0 != Datagram::leaveKind)) {
        ++m_counts.droppedFormat;
        return;
    }
    if (!m_toBroker.take(source, m_clock())) {
        ++m_counts.droppedRate;
        return;
    }
    const QString key = m_settings.subnetKey;
    const QString where = presence ? topic(QStringLiteral("presence/") + key)
                                   : topic(QStringLiteral("chat/%1/%2").arg(m_settings.chatPort).arg(key));
    if (!m_broker.publish(where, payload, false)) {
        ++m_counts.droppedQueue;
        return;
    }
    ++m_counts.forwarded;
    if (!presence || !isPlainAddress(fields->field2))
        return;
    const QString address = fields->field2;
    const QString retainedTopic = topic(QStringLiteral("present/%1/%2").arg(key, address));
    if (fields->field0 == Datagram::joinKind) {
        if (payload.size() > largestRetained)
            return;
        if (!m_ownAddresses.contains(address) && m_ownAddresses.size() >= m_limits.addressesPerSubnet)
            return;
        if (m_broker.publish(retainedTopic, payload, true))
            m_ownAddresses.insert(address);
    } else if (m_ownAddresses.remove(address)) {
        m_broker.publish(retainedTopic, QByteArray(), true);
    }
}

bool RelayCore::rebroadcast(Channel channel, const QByteArray &payload)
{
    if (!m_toLan.take(0, m_clock())) {
        ++m_counts.droppedRate;
        return false;
    }
    const bool sent = channel == Channel::Presence ? m_lan.sendPresence(payload) : m_lan.sendChat(payload);
    if (sent)
        ++m_counts.rebroadcast;
    else
        ++m_counts.droppedQueue;
    return sent;
}

void RelayCore::onConnected()
{
    m_connected = true;
    m_decided = false;
    m_lapsed = false;
    m_peers.clear();
    m_relaysSeen.clear();
    m_heard.clear();
    m_lost.clear();
    // The broker sends every retained message again on subscribing.
    m_retained.clear();
    m_retainedTotal = 0;
    m_ownAddresses.clear();
    m_paced.clear();
    m_pacedSet.clear();
    m_broker.subscribe(topic(QStringLiteral("relays/+/+")), BrokerLink::Delivery::OthersOnly);
    // The own heartbeats too: one that comes back shows that the broker still hears this relay.
    m_broker.subscribe(topic(QStringLiteral("alive/%1/+").arg(m_settings.subnetKey)),
                       BrokerLink::Delivery::OwnToo);
    m_broker.subscribe(topic(QStringLiteral("present/+/+")), BrokerLink::Delivery::OthersOnly);
    m_broker.subscribe(topic(QStringLiteral("presence/+")), BrokerLink::Delivery::OthersOnly);
    m_broker.subscribe(topic(QStringLiteral("chat/%1/+").arg(m_settings.chatPort)),
                       BrokerLink::Delivery::OthersOnly);
    publishStatus();
    m_election->start(m_limits.electionSettleMs);
    m_watch->start(m_limits.watchTickMs);
}

void RelayCore::onDisconnected()
{
    m_connected = false;
    m_election->stop();
    m_watch->stop();
    m_pacer->stop();
    m_paced.clear();
    m_pacedSet.clear();
    setRole(Role::Standby);
}

void RelayCore::onMessage(const QString &topicName, const QByteArray &payload, bool retained)
{
    const QString head = topic(QString());
    if (!topicName.startsWith(head))
        return;
    const QStringList levels = topicName.mid(head.size()).split(QLatin1Char('/'));
    const QString &kind = levels.first();
    if (kind == QLatin1String("relays") && levels.size() == 3) {
        onRelayStatus(levels.at(1), levels.at(2), payload, retained);
    } else if (kind == QLatin1String("alive") && levels.size() == 3) {
        if (levels.at(1) == m_settings.subnetKey)
            onHeartbeat(levels.at(2), payload);
    } else if (kind == QLatin1String("present") && levels.size() == 3) {
        onPresent(levels.at(1), levels.at(2), payload, retained);
    } else if ((kind == QLatin1String("presence") && levels.size() == 2) ||
               (kind == QLatin1String("chat") && levels.size() == 3 &&
                levels.at(1) == QString::number(m_settings.chatPort))) {
        if (sameSegment(levels.last())) {
            ++m_counts.droppedLoop;
            return;
        }
        if (!keepsForwarding())
            return;
        const bool presence = kind == QLatin1String("presence");
        if (presence ? !isValidPresence(payload) : !isValidChat(payload)) {
            ++m_counts.droppedFormat;
            return;
        }
        rebroadcast(presence ? Channel::Presence : Channel::Chat, payload);
    }
}

void RelayCore::onRelayStatus(const QString &subnetKey, const QString &id, const QByteArray &payload,
                              bool retained)
{
    const QString name = subnetKey + QLatin1Char('/') + id;
    if (payload.isEmpty())
        m_relaysSeen.remove(name);
    else if (m_relaysSeen.contains(name) || m_relaysSeen.size() < 4096)
        m_relaysSeen.insert(name, QString::fromUtf8(payload.left(200)));
    if (subnetKey != m_settings.subnetKey || id == m_settings.relayId)
        return;
    m_lost.remove(id);
    if (payload.isEmpty()) {
        m_peers.remove(id);
        m_heard.remove(id);
    } else if (m_peers.contains(id) || m_peers.size() < 256) {
        m_peers.insert(id, statusWord(payload));
        m_heard.insert(id, m_clock());
    }
    if (!m_connected)
        return;
    // Stepping down is at once, so that two never forward together for long; taking over waits
    // until the statuses have settled.
    if (m_role == Role::Active && decide(m_settings.relayId, m_role, livePeers()) == Role::Standby) {
        setRole(Role::Standby);
    } else if (m_role == Role::Active && !retained && statusWord(payload) == activeWord &&
               keepsForwarding()) {
        // Another took this relay for lost, while the broker still hears it: it says again that it
        // forwards, and the other, with the higher id, steps down on seeing that.
        publishStatus();
    }
    if (!m_election->isActive())
        m_election->start(m_limits.takeoverSettleMs);
}

void RelayCore::onHeartbeat(const QString &id, const QByteArray &payload)
{
    const qint64 now = m_clock();
    if (id != m_settings.relayId) {
        if (m_peers.contains(id))
            m_heard.insert(id, now);
        return;
    }
    // The sending time, on this relay's own clock; only its own heartbeats are read.
    bool ok = false;
    const qint64 sent = payload.toLongLong(&ok);
    if (!ok || sent > now || sent <= m_confirmed)
        return;
    if (m_lapsed) {
        if (sent < m_lapsedSince || !m_connected)
            return;
        // The broker hears this relay again: it is a candidate once more.
        m_lapsed = false;
        m_confirmed = sent;
        publishStatus();
        m_election->start(m_limits.takeoverSettleMs);
        return;
    }
    if (m_role != Role::Active || sent < m_activeSince)
        return;
    const bool first = m_confirmed < m_activeSince;
    m_confirmed = sent;
    if (first && holdsLease(now)) {
        m_announced = true;
        emit roleChanged(Role::Active);
        queueRetainedRebroadcast();
    }
}

void RelayCore::sendHeartbeat(qint64 now)
{
    m_lastSent = now;
    m_broker.publish(topic(QStringLiteral("alive/%1/%2").arg(m_settings.subnetKey, m_settings.relayId)),
                     QByteArray::number(now), false);
}

void RelayCore::watch()
{
    const qint64 now = m_clock();
    const bool claims =
        m_role == Role::Active && (keepsForwarding() || now - m_activeSince <= m_limits.leaseMs);
    // A lapsed relay goes on sending them, to learn when the broker hears it again.
    if ((claims || m_lapsed) && now - m_lastSent >= m_limits.heartbeatMs)
        sendHeartbeat(now);
    if (m_role == Role::Active)
        return;
    // A standby watches the relays that claim to forward for this subnet.
    bool lost = false;
    for (auto it = m_peers.cbegin(); it != m_peers.cend(); ++it) {
        if (it.value() != activeWord || m_lost.contains(it.key()))
            continue;
        if (now - m_heard.value(it.key(), now) > m_limits.lostMs) {
            m_lost.insert(it.key());
            emit peerLost(it.key());
            lost = true;
        }
    }
    if (lost)
        electNow();
}

void RelayCore::electNow()
{
    if (!m_connected || m_lapsed)
        return;
    const Role role = decide(m_settings.relayId, m_role, livePeers());
    // The first decision after connecting is announced even when it changes nothing, so that the
    // log says which of several relays forwards.
    const bool first = !m_decided;
    m_decided = true;
    if (role == m_role && first && role == Role::Standby)
        emit roleChanged(role);
    setRole(role);
}

void RelayCore::setRole(Role role)
{
    if (role == m_role)
        return;
    m_role = role;
    if (m_connected)
        publishStatus();
    if (role == Role::Active) {
        // Forwarding starts once this heartbeat has come back.
        m_activeSince = m_clock();
        m_confirmed = -1;
        m_announced = false;
        if (m_connected)
            sendHeartbeat(m_activeSince);
        return;
    }
    if (m_announced)
        emit roleChanged(role);
    m_announced = false;
}

void RelayCore::publishStatus()
{
    const QString word = m_role == Role::Active ? activeWord : m_lapsed ? lapsedWord : standbyWord;
    m_broker.publish(statusTopic(), (word + QLatin1Char(' ') + m_settings.site).toUtf8(), true);
}

void RelayCore::onPresent(const QString &subnetKey, const QString &address, const QByteArray &payload,
                          bool retained)
{
    if (subnetKey == m_settings.subnetKey) {
        if (payload.isEmpty())
            m_ownAddresses.remove(address);
        else if (m_ownAddresses.size() < m_limits.addressesPerSubnet)
            m_ownAddresses.insert(address);
        return;
    }
    if (sameSegment(subnetKey))
        return;
    auto subnet = m_retained.find(subnetKey);
    if (payload.isEmpty()) {
        if (subnet != m_retained.end() && subnet->remove(address)) {
            --m_retainedTotal;
            if (subnet->isEmpty())
                m_retained.erase(subnet);
        }
        return;
    }
    if (payload.size() > largestRetained || !isValidPresence(payload)) {
        ++m_counts.droppedFormat;
        return;
    }
    const bool known = subnet != m_retained.end() && subnet->contains(address);
    if (!known) {
        const qsizetype inSubnet = subnet == m_retained.end() ? 0 : subnet->size();
        if (inSubnet >= m_limits.addressesPerSubnet || m_retainedTotal >= m_limits.retainedTotal) {
            ++m_counts.droppedQueue;
            return;
        }
        ++m_retainedTotal;
    }
    m_retained[subnetKey].insert(address, payload);
    // Live changes travel on the presence topic; only what the broker kept is sent again here.
    if (retained && forwarding()) {
        if (!m_pacedSet.contains({subnetKey, address})) {
            m_paced.emplace_back(subnetKey, address);
            m_pacedSet.insert({subnetKey, address});
        }
        if (!m_pacer->isActive())
            m_pacer->start(m_limits.paceTickMs);
    }
}

void RelayCore::queueRetainedRebroadcast()
{
    for (auto subnet = m_retained.cbegin(); subnet != m_retained.cend(); ++subnet) {
        for (auto entry = subnet->cbegin(); entry != subnet->cend(); ++entry) {
            if (m_pacedSet.contains({subnet.key(), entry.key()}))
                continue;
            m_paced.emplace_back(subnet.key(), entry.key());
            m_pacedSet.insert({subnet.key(), entry.key()});
        }
    }
    if (!m_paced.empty() && !m_pacer->isActive())
        m_pacer->start(m_limits.paceTickMs);
}

void RelayCore::paceTick()
{
    for (int sent = 0; sent < m_limits.pacedPerTick && !m_paced.empty();) {
        const auto next = m_paced.front();
        m_paced.pop_front();
        m_pacedSet.remove(next);
        const auto subnet = m_retained.constFind(next.first);
        if (subnet == m_retained.cend())
            continue;
        const auto entry = subnet->constFind(next.second);
        if (entry == subnet->cend())
            continue;
        if (keepsForwarding())
            rebroadcast(Channel::Presence, entry.value());
        ++sent;
    }
    if (m_paced.empty())
        m_pacer->stop();
}
