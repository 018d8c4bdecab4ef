#pragma once

#include "virtualhost.h"

#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QSet>
#include <functional>
#include <memory>

class VirtualSocket;

// An in-memory /24 network for tests: a broadcast reaches every socket bound to its port (the
// sender's own included), a unicast the socket bound to that port on the host with that address.
// Delivery is queued, like a real socket's, and every pending datagram is handed over in one pass.
class VirtualLan : public QObject
{
    Q_OBJECT

public:
    struct Datagram
    {
        QHostAddress from;
        QHostAddress to;
        quint16 port = 0;
        QByteArray payload;
    };

    explicit VirtualLan(const QString &network = QStringLiteral("198.18.0.0"), QObject *parent = nullptr);
    ~VirtualLan() override;

    std::unique_ptr<VirtualHost> addHost(const QString &address, const QString &hostName);

    // Sends to this address fail, as a socket fails for a destination it cannot reach.
    void failSendsTo(const QHostAddress &address) { m_unreachable.insert(address.toIPv4Address()); }

    // Called as each datagram is sent, before it is delivered.
    void setSendObserver(std::function<void(const Datagram &)> observer) { m_observer = std::move(observer); }

    QList<Datagram> sent() const { return m_sent; }
    QList<Datagram> sentTo(quint16 port) const;
    void clearSent() { m_sent.clear(); }

    bool bind(VirtualSocket *socket, quint16 port, QString &error);
    void unbind(VirtualSocket *socket);
    bool send(VirtualSocket *from, const QByteArray &payload, const QHostAddress &to, quint16 port,
              QString &error);

private:
    bool isBroadcast(const QHostAddress &address) const;

    quint32 m_network;
    QList<VirtualSocket *> m_bound;
    QSet<quint32> m_unreachable;
    QList<Datagram> m_sent;
    std::function<void(const Datagram &)> m_observer;
};
