#include "relaycore.h"

#include "base/cp932.h"
#include "base/scheduler.h"
#include "net/datagram.h"

#include <QHostAddress>
#include <algorithm>

namespace {

const QString activeWord = QStringLiteral("active");
const QString standbyWord = QStringLiteral("standby");
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

RelayCore::RelayCore(Settings settings, BrokerLink &broker, LanLink &lan, Scheduler &scheduler, Limits limits)
    : m_settings(std::move(settings)), m_broker(broker), m_lan(lan), m_limits(limits)
{
    m_rateWindow = scheduler.createTimer(Timer::Repeating, Qt::CoarseTimer);
    connect(m_rateWindow.get(), &Timer::timeout, this, [this] {
        m_perSource.clear();
        m_total = 0;
        m_lanTotal = 0;
    });
    m_rateWindow->start(1000);
    m_election = scheduler.createTimer(Timer::SingleShot, Qt::CoarseTimer);
    connect(m_election.get(), &Timer::timeout, this, &RelayCore::electNow);
    m_pacer = scheduler.createTimer(Timer::Repeating, Qt::PreciseTimer);
    connect(m_pacer.get(), &Timer::timeout, this, &RelayCore::paceTick);

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

void RelayCore::lanDatagrams(Channel channel, const QList<QByteArray> &payloads,
                             const QList<quint32> &sources)
{
    for (qsizetype i = 0; i < payloads.size(); ++i) {
        const quint32 source = i < sources.size() ? sources.at(i) : 0;
        if (m_role != Role::Active)
            continue; // the relay that forwards for this subnet is another one
        // The relay hears its own rebroadcasts; nothing else on this machine can use the ports.
        if (source == m_settings.ownAddress) {
            ++m_counts.droppedLoop;
            continue;
        }
        forward(channel, payloads.at(i), source);
    }
}

bool RelayCore::takeRate(quint32 source)
{
    if (m_total >= m_limits.totalPerSecond)
        return false;
    auto it = m_perSource.find(source);
    if (it == m_perSource.end()) {
        if (m_perSource.size() >= m_limits.trackedSources)
            return false;
        it = m_perSource.insert(source, 0);
    }
    if (it.value() >= m_limits.perSourcePerSecond)
        return false;
    ++it.value();
    ++m_total;
    return true;
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
    if (!takeRate(source)) {
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
    if (m_lanTotal >= m_limits.totalPerSecond) {
        ++m_counts.droppedRate;
        return false;
    }
    ++m_lanTotal;
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
    m_peers.clear();
    m_relaysSeen.clear();
    // The broker sends every retained message again on subscribing.
    m_retained.clear();
    m_retainedTotal = 0;
    m_ownAddresses.clear();
    m_paced.clear();
    m_pacedSet.clear();
    m_broker.subscribe(topic(QStringLiteral("relays/+/+")));
    m_broker.subscribe(topic(QStringLiteral("present/+/+")));
    m_broker.subscribe(topic(QStringLiteral("presence/+")));
    m_broker.subscribe(topic(QStringLiteral("chat/%1/+").arg(m_settings.chatPort)));
    publishStatus();
    m_election->start(m_limits.electionSettleMs);
}

void RelayCore::onDisconnected()
{
    m_connected = false;
    m_election->stop();
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
        onRelayStatus(levels.at(1), levels.at(2), payload);
    } else if (kind == QLatin1String("present") && levels.size() == 3) {
        onPresent(levels.at(1), levels.at(2), payload, retained);
    } else if ((kind == QLatin1String("presence") && levels.size() == 2) ||
               (kind == QLatin1String("chat") && levels.size() == 3 &&
                levels.at(1) == QString::number(m_settings.chatPort))) {
        if (sameSegment(levels.last())) {
            ++m_counts.droppedLoop;
            return;
        }
        if (m_role != Role::Active)
            return;
        const bool presence = kind == QLatin1String("presence");
        if (presence ? !isValidPresence(payload) : !isValidChat(payload)) {
            ++m_counts.droppedFormat;
            return;
        }
        rebroadcast(presence ? Channel::Presence : Channel::Chat, payload);
    }
}

void RelayCore::onRelayStatus(const QString &subnetKey, const QString &id, const QByteArray &payload)
{
    const QString name = subnetKey + QLatin1Char('/') + id;
    if (payload.isEmpty())
        m_relaysSeen.remove(name);
    else if (m_relaysSeen.contains(name) || m_relaysSeen.size() < 4096)
        m_relaysSeen.insert(name, QString::fromUtf8(payload.left(200)));
    if (subnetKey != m_settings.subnetKey || id == m_settings.relayId)
        return;
    if (payload.isEmpty())
        m_peers.remove(id);
    else if (m_peers.contains(id) || m_peers.size() < 256)
        m_peers.insert(id, statusWord(payload));
    if (!m_connected)
        return;
    // Stepping down is at once, so that two never forward together for long; taking over waits
    // until the statuses have settled.
    if (m_role == Role::Active && decide(m_settings.relayId, m_role, m_peers) == Role::Standby)
        setRole(Role::Standby);
    if (!m_election->isActive())
        m_election->start(m_limits.takeoverSettleMs);
}

void RelayCore::electNow()
{
    if (!m_connected)
        return;
    const Role role = decide(m_settings.relayId, m_role, m_peers);
    // The first decision after connecting is announced even when it changes nothing, so that the
    // log says which of several relays forwards.
    const bool first = !m_decided;
    m_decided = true;
    if (role == m_role && first)
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
    if (role == Role::Active)
        queueRetainedRebroadcast();
    emit roleChanged(role);
}

void RelayCore::publishStatus()
{
    const QString word = m_role == Role::Active ? activeWord : standbyWord;
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
    if (retained && m_role == Role::Active) {
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
        if (m_role == Role::Active)
            rebroadcast(Channel::Presence, entry.value());
        ++sent;
    }
    if (m_paced.empty())
        m_pacer->stop();
}
