#include "udpnetwork.h"

#include "systeminterfaces.h"
#include "udpdatagramsocket.h"

#include <QHostInfo>

std::unique_ptr<DatagramSocket> UdpNetwork::createSocket()
{
    return std::make_unique<UdpDatagramSocket>();
}

std::optional<QHostAddress> UdpNetwork::localAddress(QString &error)
{
    const auto address =
        LanAddress::chooseLanAddress(SystemInterfaces::read(), SystemInterfaces::defaultRouteSource());
    if (!address) {
        error = QStringLiteral("IPv4 のアドレスを持ち、ブロードキャストできるインターフェースがありません");
    }
    return address;
}

QString UdpNetwork::localHostName()
{
    return QHostInfo::localHostName();
}
