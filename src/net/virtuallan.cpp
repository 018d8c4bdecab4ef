#include "virtuallan.h"

#include <QMetaObject>
#include <utility>

VirtualSocket::VirtualSocket(VirtualLan &lan, const QHostAddress &hostAddress, bool canBindPrivileged)
    : m_lan(&lan), m_hostAddress(hostAddress), m_canBindPrivileged(canBindPrivileged)
{
}

VirtualSocket::~VirtualSocket()
{
    if (m_lan)
        m_lan->unbind(this);
}

bool VirtualSocket::bind(quint16 port)
{
    if (!m_lan)
        return false;
    if (port < 1024 && !m_canBindPrivileged) {
        m_error = QStringLiteral("The address is protected");
        return false;
    }
    if (!m_lan->bind(this, port, m_error))
        return false;
    m_port = port;
    return true;
}

bool VirtualSocket::sendTo(const QByteArray &payload, const QHostAddress &address, quint16 port)
{
    return m_lan && m_lan->send(this, payload, address, port, m_error);
}

QString VirtualSocket::errorString() const
{
    return m_error;
}

void VirtualSocket::enqueue(const QByteArray &payload)
{
    m_pending.append(payload);
    if (m_pending.size() == 1)
        QMetaObject::invokeMethod(this, &VirtualSocket::flush, Qt::QueuedConnection);
}

void VirtualSocket::flush()
{
    const QList<QByteArray> payloads = std::exchange(m_pending, {});
    if (!payloads.isEmpty())
        emit datagramsReceived(payloads);
}

VirtualHost::VirtualHost(VirtualLan &lan, const QHostAddress &address, const QString &hostName)
    : m_lan(lan), m_address(address), m_hostName(hostName)
{
}

std::unique_ptr<DatagramSocket> VirtualHost::createSocket()
{
    return std::make_unique<VirtualSocket>(m_lan, m_address, m_canBindPrivileged);
}

std::optional<QHostAddress> VirtualHost::localAddress(QString &error)
{
    if (!m_networkAvailable) {
        error = QStringLiteral("ネットワークにつながっていません");
        return std::nullopt;
    }
    return m_address;
}

QString VirtualHost::localHostName()
{
    return m_hostName;
}

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
    if (m_unreachable.contains(to.toIPv4Address())) {
        error = QStringLiteral("Network unreachable");
        return false;
    }
    m_sent.append({from->hostAddress(), to, port, payload});
    if (m_observer)
        m_observer(m_sent.last());
    const bool broadcast = isBroadcast(to);
    for (VirtualSocket *socket : std::as_const(m_bound)) {
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
