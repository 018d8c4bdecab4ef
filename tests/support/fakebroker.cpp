#include "fakebroker.h"

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
        if (client == from || !client->m_connected) // No Local
            continue;
        for (const QString &pattern : std::as_const(client->subscriptions)) {
            if (matches(pattern, topic)) {
                emit client->messageReceived(topic, payload, false);
                break;
            }
        }
    }
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

void FakeBrokerLink::subscribe(const QString &pattern)
{
    if (!m_connected)
        return;
    subscriptions.append(pattern);
    const auto retained = m_broker.retained; // a copy: receivers may publish meanwhile
    for (auto it = retained.cbegin(); it != retained.cend(); ++it) {
        if (FakeBroker::matches(pattern, it.key()))
            emit messageReceived(it.key(), it.value(), true);
    }
}
