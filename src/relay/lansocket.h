#pragma once

#include "base/filedescriptor.h"
#include "relaycore.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <functional>
#include <memory>

class QSocketNotifier;

// One of the chat's ports, read with the destination address of each datagram (IP_PKTINFO): the
// relay must tell a broadcast from a unicast to its own address. Read on the main thread, which
// does nothing but relay; a flood stays in the kernel's buffer, which drops what does not fit.
class LanSocket
{
public:
    LanSocket();
    ~LanSocket();
    LanSocket(const LanSocket &) = delete;
    LanSocket &operator=(const LanSocket &) = delete;

    // No SO_REUSEADDR: a chat on this machine must find the port taken, not share it.
    bool bind(quint16 port, std::function<void(const QList<LanDatagram> &)> receiver);
    QString errorString() const;
    bool sendTo(const QByteArray &payload, quint32 address, quint16 port);

private:
    void readPass();

    FileDescriptor m_fd;
    int m_error = 0;
    QByteArray m_buffer;
    // After the descriptor in the order of members, so that it goes first.
    std::unique_ptr<QSocketNotifier> m_notifier;
    std::function<void(const QList<LanDatagram> &)> m_receiver;
};

// The relay's side of a subnet: presence and chat lines to the subnet's broadcast address.
class SocketLan : public LanLink
{
public:
    SocketLan(LanSocket &presence, LanSocket &chat, quint32 broadcast, quint16 chatPort);
    bool sendPresence(const QByteArray &payload) override;
    bool sendChat(const QByteArray &payload) override;

private:
    LanSocket &m_presence;
    LanSocket &m_chat;
    quint32 m_broadcast;
    quint16 m_chatPort;
};
