#pragma once

#include "datagramsocket.h"

class QThread;
class UdpWorker;

// A QUdpSocket on a thread of its own that reads every datagram as soon as it arrives, so a
// burst is not dropped by the kernel while the window is busy; arrivals reach the window's thread
// in batches.
class UdpDatagramSocket : public DatagramSocket
{
    Q_OBJECT

public:
    UdpDatagramSocket();
    ~UdpDatagramSocket() override;

    bool bind(quint16 port) override;
    bool sendTo(const QByteArray &payload, const QHostAddress &address, quint16 port) override;
    QString errorString() const override;

private:
    QThread *m_thread;
    UdpWorker *m_worker;
    QString m_error;
};

// What start-up needs to know of one network interface.
struct LanInterface
{
    bool up = false;
    bool running = false;
    bool loopback = false;
    bool canBroadcast = false;
    QList<QHostAddress> addresses;
};

// The machine's real network over QUdpSocket.
class UdpNetwork : public DatagramNetwork
{
public:
    std::unique_ptr<DatagramSocket> createSocket() override;
    std::optional<QHostAddress> localAddress(QString &error) override;
    QString localHostName() override;

    // The LAN address among the interfaces: the one that carries the default route when known,
    // else the first interface that is up, running, not loopback and able to broadcast.
    static std::optional<QHostAddress> chooseLanAddress(const QList<LanInterface> &interfaces,
                                                        const std::optional<QHostAddress> &defaultRouteSource);
};
