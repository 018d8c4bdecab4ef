#include "udpnetwork.h"

#include <QHostInfo>
#include <QNetworkDatagram>
#include <QNetworkInterface>
#include <QUdpSocket>
#include <QVariant>

namespace {

constexpr int receiveBufferBytes = 4 * 1024 * 1024;

// Asks the routing table which source address a packet to the outside would leave from; nothing
// is sent.
std::optional<QHostAddress> defaultRouteSource()
{
    QUdpSocket probe;
    probe.connectToHost(QHostAddress(QStringLiteral("198.51.100.1")), 9);
    if (!probe.waitForConnected(200))
        return std::nullopt;
    const QHostAddress source = probe.localAddress();
    if (source.isNull() || source.isLoopback() || source.protocol() != QAbstractSocket::IPv4Protocol)
        return std::nullopt;
    return source;
}

} // namespace

UdpDatagramSocket::UdpDatagramSocket() : m_socket(new QUdpSocket(this))
{
    connect(m_socket, &QUdpSocket::readyRead, this, &UdpDatagramSocket::drain);
}

UdpDatagramSocket::~UdpDatagramSocket() = default;

bool UdpDatagramSocket::bind(quint16 port)
{
    // DontShareAddress: a second instance on this machine must fail here instead of silently
    // stealing the unicasts of the first.
    if (!m_socket->bind(QHostAddress::AnyIPv4, port, QAbstractSocket::DontShareAddress)) {
        m_error = m_socket->errorString();
        return false;
    }
    // A burst of lines must not be dropped while the window is busy.
    m_socket->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, QVariant(receiveBufferBytes));
    return true;
}

bool UdpDatagramSocket::sendTo(const QByteArray &payload, const QHostAddress &address, quint16 port)
{
    if (m_socket->writeDatagram(payload, address, port) != payload.size()) {
        m_error = m_socket->errorString();
        return false;
    }
    return true;
}

QString UdpDatagramSocket::errorString() const
{
    return m_error;
}

void UdpDatagramSocket::drain()
{
    QList<QByteArray> payloads;
    while (m_socket->hasPendingDatagrams())
        payloads.append(m_socket->receiveDatagram().data());
    if (!payloads.isEmpty())
        emit datagramsReceived(payloads);
}

std::unique_ptr<DatagramSocket> UdpNetwork::createSocket()
{
    return std::make_unique<UdpDatagramSocket>();
}

std::optional<QHostAddress> UdpNetwork::localAddress(QString &error)
{
    QList<LanInterface> interfaces;
    for (const QNetworkInterface &interface : QNetworkInterface::allInterfaces()) {
        const auto flags = interface.flags();
        LanInterface lan;
        lan.up = flags.testFlag(QNetworkInterface::IsUp);
        lan.running = flags.testFlag(QNetworkInterface::IsRunning);
        lan.loopback = flags.testFlag(QNetworkInterface::IsLoopBack);
        lan.canBroadcast = flags.testFlag(QNetworkInterface::CanBroadcast);
        for (const QNetworkAddressEntry &entry : interface.addressEntries())
            lan.addresses.append(entry.ip());
        interfaces.append(lan);
    }
    const auto address = chooseLanAddress(interfaces, defaultRouteSource());
    if (!address) {
        error = QStringLiteral("IPv4 のアドレスを持ち、ブロードキャストできるインターフェースがありません");
    }
    return address;
}

QString UdpNetwork::localHostName()
{
    return QHostInfo::localHostName();
}

std::optional<QHostAddress> UdpNetwork::chooseLanAddress(const QList<LanInterface> &interfaces,
                                                         const std::optional<QHostAddress> &routeSource)
{
    std::optional<QHostAddress> firstUsable;
    for (const LanInterface &interface : interfaces) {
        if (!interface.up || !interface.running || interface.loopback || !interface.canBroadcast)
            continue;
        for (const QHostAddress &ip : interface.addresses) {
            if (ip.protocol() != QAbstractSocket::IPv4Protocol)
                continue;
            if (routeSource && ip.isEqual(*routeSource))
                return ip;
            if (!firstUsable)
                firstUsable = ip;
        }
    }
    return firstUsable;
}
