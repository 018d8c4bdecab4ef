#include "udpnetwork.h"

#include "udpdatagramsocket.h"

#include <QHostInfo>
#include <QNetworkInterface>
#include <QUdpSocket>

namespace {

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
