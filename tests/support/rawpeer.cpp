#include "rawpeer.h"

#include "base/cp932.h"

RawPeer::RawPeer(VirtualLan &lan, const QString &address)
    : m_host(lan.addHost(address, QStringLiteral("peer"))), m_socket(m_host->createSocket())
{
    m_socket->bind(40000);
}

void RawPeer::send(const QByteArray &payload, const QString &to, quint16 port)
{
    m_socket->sendTo(payload, QHostAddress(to), port);
}

void RawPeer::sendText(const QString &text, const QString &to, quint16 port)
{
    send(Cp932::encode(text), to, port);
}
