#pragma once

#include "virtuallan.h"

#include <QByteArray>
#include <QString>
#include <memory>

// A program of another kind on the LAN that sends raw payloads.
class RawPeer
{
public:
    RawPeer(VirtualLan &lan, const QString &address);
    void send(const QByteArray &payload, const QString &to, quint16 port);
    void sendText(const QString &text, const QString &to, quint16 port);

private:
    std::unique_ptr<VirtualHost> m_host;
    std::unique_ptr<DatagramSocket> m_socket;
};
