#include "fakebroker.h"

#include <utility>

bool FakeBroker::matches(const QString &pattern, const QString &topic)
{
    const QStringList want = pattern.split(QLatin1Char('/'));
    const QStringList have = topic.split(QLatin1Char('/'));
    for (qsizetype i = 0; i < want.size(); ++i) {
        if (want.at(i) == QLatin1String("#"))
            return true;
        if (i >= have.size() || (want.at(i) != QLatin1String("+") && want.at(i) != have.at(i)))
            return false;
    }
    return want.size() == have.size();
}

void FakeBroker::publish(FakeBrokerLink *from, const QString &topic, const QByteArray &payload, bool retain)
{
    log.append({from->m_name, topic, payload, retain});
    if (retain) {
        if (payload.isEmpty())
            retained.remove(topic);
        else
            retained.insert(topic, payload);
    }
    const QList<FakeBrokerLink *> clients = m_clients;
    for (FakeBrokerLink *client : clients) {
        if (!client->m_connected)
            continue;
        for (const auto &subscription : std::as_const(client->subscriptions)) {
            // No Local: a client gets its own publications only where it asked for them.
            if (client == from && subscription.delivery == BrokerLink::Delivery::OthersOnly)
                continue;
            if (matches(subscription.pattern, topic)) {
                client->deliver(topic, payload);
                break;
            }
        }
    }
}

void FakeBrokerLink::deliver(const QString &topic, const QByteArray &payload)
{
    if (m_frozen)
        m_held.append({topic, payload});
    else
        emit messageReceived(topic, payload, false);
}

void FakeBrokerLink::freeze()
{
    m_frozen = true;
}

void FakeBrokerLink::thaw()
{
    m_frozen = false;
    const auto held = std::exchange(m_held, {});
    for (const auto &[topic, payload] : held)
        emit messageReceived(topic, payload, false);
}

FakeBrokerLink::FakeBrokerLink(FakeBroker &broker, QString name, QString willTopic)
    : m_broker(broker), m_name(std::move(name)), m_willTopic(std::move(willTopic))
{
    m_broker.m_clients.append(this);
}

FakeBrokerLink::~FakeBrokerLink()
{
    m_broker.m_clients.removeAll(this);
}

void FakeBrokerLink::connectNow()
{
    m_connected = true;
    subscriptions.clear();
    emit connected();
}

void FakeBrokerLink::drop()
{
    m_connected = false;
    emit disconnected(QStringLiteral("lost"));
    if (!m_willTopic.isEmpty())
        m_broker.publish(this, m_willTopic, QByteArray(), true);
}

void FakeBrokerLink::refuse()
{
    m_connected = false;
    emit refused(QStringLiteral("Bad user name or password"), 60);
}

bool FakeBrokerLink::publish(const QString &topic, const QByteArray &payload, bool retain)
{
    if (!m_connected || !accepting)
        return false;
    m_broker.publish(this, topic, payload, retain);
    return true;
}

void FakeBrokerLink::subscribe(const QString &pattern, Delivery delivery)
{
    if (!m_connected)
        return;
    subscriptions.append({pattern, delivery});
    const auto retained = m_broker.retained; // a copy: receivers may publish meanwhile
    for (auto it = retained.cbegin(); it != retained.cend(); ++it) {
        if (FakeBroker::matches(pattern, it.key()))
            emit messageReceived(it.key(), it.value(), true);
    }
}
