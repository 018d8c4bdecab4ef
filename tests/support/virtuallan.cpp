#include "virtuallan.h"

#include "virtualsocket.h"

#include <utility>

VirtualLan::VirtualLan(const QString &network, QObject *parent)
    : QObject(parent), m_network(QHostAddress(network).toIPv4Address() & 0xFFFFFF00u)
{
}

VirtualLan::~VirtualLan() = default;

std::unique_ptr<VirtualHost> VirtualLan::addHost(const QString &address, const QString &hostName)
{
    return std::make_unique<VirtualHost>(*this, QHostAddress(address), hostName);
}

QList<VirtualLan::Datagram> VirtualLan::sentTo(quint16 port) const
{
    QList<Datagram> result;
    for (const Datagram &datagram : m_sent) {
        if (datagram.port == port)
            result.append(datagram);
    }
    return result;
}

bool VirtualLan::bind(VirtualSocket *socket, quint16 port, QString &error)
{
    for (const VirtualSocket *other : std::as_const(m_bound)) {
        if (other->port() == port && other->hostAddress() == socket->hostAddress()) {
            error = QStringLiteral("The bound address is already in use");
            return false;
        }
    }
    m_bound.append(socket);
    return true;
}

void VirtualLan::unbind(VirtualSocket *socket)
{
    m_bound.removeAll(socket);
}

bool VirtualLan::send(VirtualSocket *from, const QByteArray &payload, const QHostAddress &to, quint16 port,
                      QString &error)
{
    if (to.isNull() || to.protocol() != QAbstractSocket::IPv4Protocol || port == 0) {
        error = QStringLiteral("Invalid destination");
        return false;
    }
    if (m_unreachable.contains(to.toIPv4Address()) || !from->networkAvailable()) {
        error = QStringLiteral("Network unreachable");
        return false;
    }
    m_sent.append({from->hostAddress(), to, port, payload});
    if (m_observer)
        m_observer(m_sent.last());
    const bool broadcast = isBroadcast(to);
    for (VirtualSocket *socket : std::as_const(m_bound)) {
        if (!socket->networkAvailable())
            continue;
        if (socket->port() == port && (broadcast || socket->hostAddress() == to))
            socket->enqueue(payload);
    }
    return true;
}

// The limited broadcast and the directed broadcast of this network or of any wider octet-aligned
// network around it, as a mask such as 255.255.0.0 gives.
bool VirtualLan::isBroadcast(const QHostAddress &address) const
{
    const quint32 ip = address.toIPv4Address();
    for (int hostBits = 8; hostBits <= 32; hostBits += 8) {
        const quint32 hostMask = hostBits == 32 ? 0xFFFFFFFFu : ((1u << hostBits) - 1);
        if (ip == ((m_network & ~hostMask) | hostMask))
            return true;
    }
    return false;
}
