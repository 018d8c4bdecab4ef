#pragma once

#include <QHostAddress>
#include <QNetworkInterface>
#include <QString>

namespace Bench {

// These programs broadcast on the chat port. They may only run inside a test network namespace:
// every IPv4 address of every interface other than loopback must lie in 198.18.0.0/24, and there
// must be at least one. Returns why not, or an empty text.
inline QString notInBenchNamespace()
{
    const QHostAddress benchNet(QStringLiteral("198.18.0.0"));
    int benchAddresses = 0;
    for (const QNetworkInterface &interface : QNetworkInterface::allInterfaces()) {
        if (interface.flags().testFlag(QNetworkInterface::IsLoopBack))
            continue;
        for (const QNetworkAddressEntry &entry : interface.addressEntries()) {
            const QHostAddress ip = entry.ip();
            if (ip.protocol() != QAbstractSocket::IPv4Protocol)
                continue;
            if (!ip.isInSubnet(benchNet, 24))
                return QStringLiteral(
                           "interface %1 has %2, outside 198.18.0.0/24: this is not a bench namespace")
                    .arg(interface.name(), ip.toString());
            ++benchAddresses;
        }
    }
    if (benchAddresses == 0)
        return QStringLiteral("no interface with an address in 198.18.0.0/24");
    return {};
}

} // namespace Bench
