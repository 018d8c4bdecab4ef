#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

// The relay's side of an MQTT 5 connection, behind a seam so the forwarding rules can be tested
// without a broker. Subscriptions use No Local unless they ask for the client's own publications:
// then they come back through the broker, which is how a relay knows the broker still hears it.
class BrokerLink : public QObject
{
    Q_OBJECT

public:
    enum class Delivery { OthersOnly, OwnToo };

    using QObject::QObject;
    ~BrokerLink() override;

    // False when the message was not taken: not connected, or too much is still unsent.
    virtual bool publish(const QString &topic, const QByteArray &payload, bool retain) = 0;
    virtual void subscribe(const QString &pattern, Delivery delivery) = 0;

signals:
    void connected();
    void disconnected(const QString &reason);
    // The broker turned down the credentials or the client; the next try waits retrySeconds.
    void refused(const QString &reason, int retrySeconds);
    // retained: sent because it was retained when the subscription was made.
    void messageReceived(const QString &topic, const QByteArray &payload, bool retained);
};

// Where rebroadcasts go: the subnet's broadcast address, from the relay's own bound sockets.
class LanLink
{
public:
    virtual ~LanLink();
    virtual bool sendPresence(const QByteArray &payload) = 0;
    virtual bool sendChat(const QByteArray &payload) = 0;
};
