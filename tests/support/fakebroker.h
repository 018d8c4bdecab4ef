#pragma once

#include "relay/brokerlink.h"

#include <QList>
#include <QMap>

class FakeBrokerLink;

// An MQTT broker in memory, for relays under test: retained messages, No Local, last wills.
// Delivery is immediate, on the caller's thread, except to a client that is frozen.
class FakeBroker
{
public:
    struct Publication
    {
        QString client;
        QString topic;
        QByteArray payload;
        bool retain = false;
    };

    static bool matches(const QString &pattern, const QString &topic);

    QMap<QString, QByteArray> retained;
    QList<Publication> log;

private:
    friend class FakeBrokerLink;
    void publish(FakeBrokerLink *from, const QString &topic, const QByteArray &payload, bool retain);
    QList<FakeBrokerLink *> m_clients;
};

class FakeBrokerLink : public BrokerLink
{
    Q_OBJECT

public:
    FakeBrokerLink(FakeBroker &broker, QString name, QString willTopic = {});
    ~FakeBrokerLink() override;

    void connectNow();
    // The connection is lost: the broker sends the will.
    void drop();
    void refuse();
    // The client stops reading, as a stopped process does, while the broker keeps its connection:
    // what the broker sends it waits, and arrives in order when it is thawed.
    void freeze();
    void thaw();

    bool publish(const QString &topic, const QByteArray &payload, bool retain) override;
    void subscribe(const QString &pattern, Delivery delivery) override;

    struct Subscription
    {
        QString pattern;
        Delivery delivery;
    };

    bool accepting = true; // false: publish() fails as with a full queue
    QList<Subscription> subscriptions;

private:
    friend class FakeBroker;
    void deliver(const QString &topic, const QByteArray &payload);

    FakeBroker &m_broker;
    QString m_name;
    QString m_willTopic;
    bool m_connected = false;
    bool m_frozen = false;
    QList<std::pair<QString, QByteArray>> m_held;
};

// Records the rebroadcasts of a relay.
class RecordingLan : public LanLink
{
public:
    bool sendPresence(const QByteArray &payload) override
    {
        presence.append(payload);
        return true;
    }
    bool sendChat(const QByteArray &payload) override
    {
        chat.append(payload);
        return true;
    }
    QList<QByteArray> presence;
    QList<QByteArray> chat;
};
