#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QString>

// One UDP socket bound to a local port on every local interface. It receives broadcasts to the
// subnet (its own included) and unicasts to this machine.
class DatagramSocket : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;
    ~DatagramSocket() override;

    // Fails when the port is already bound on this machine or may not be bound by this user.
    virtual bool bind(quint16 port) = 0;
    // Sends exactly one datagram; returns once it is handed to the network.
    virtual bool sendTo(const QByteArray &payload, const QHostAddress &address, quint16 port) = 0;
    virtual QString errorString() const = 0;

signals:
    // Every datagram that was waiting, in order of arrival, each payload whole.
    void datagramsReceived(const QList<QByteArray> &payloads);
};
