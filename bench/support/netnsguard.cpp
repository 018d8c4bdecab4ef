#include "netnsguard.h"

#include <QHostAddress>
#include <QNetworkInterface>

namespace Bench {

QString notInBenchNamespace()
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
            if (!ip.isInSubnet(benchNet, 15))
                return QStringLiteral(
                           "interface %1 has %2, outside 198.18.0.0/15: this is not a bench namespace")
                    .arg(interface.name(), ip.toString());
            ++benchAddresses;
        }
    }
    if (benchAddresses == 0)
        return QStringLiteral("no interface with an address in 198.18.0.0/15");
    return {};
}

} // namespace Bench
