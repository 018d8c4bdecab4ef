#pragma once

#include "relay/brokerlink.h"

#include <QList>
#include <QMap>

class FakeBrokerLink;

// An MQTT broker in memory, for relays under test: retained messages, No Local, last wills.
// Delivery is immediate, on the caller's thread.
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

    bool publish(const QString &topic, const QByteArray &payload, bool retain) override;
    void subscribe(const QString &pattern) override;

    bool accepting = true; // false: publish() fails as with a full queue
    QStringList subscriptions;

private:
    friend class FakeBroker;
    FakeBroker &m_broker;
    QString m_name;
    QString m_willTopic;
    bool m_connected = false;
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
