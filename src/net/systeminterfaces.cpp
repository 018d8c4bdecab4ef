#include "systeminterfaces.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkInterface>
#include <QNetworkProxy>
#include <QUdpSocket>

namespace {

QByteArray readSmall(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.read(4096);
}

} // namespace

namespace SystemInterfaces {

LanAddress::KernelFacts kernelFacts(const QString &name)
{
    LanAddress::KernelFacts facts;
    const QString folder = QStringLiteral("/sys/class/net/") + name;
    if (name.contains(QLatin1Char('/')) || !QFileInfo::exists(folder))
        return facts;
    facts.bridge = QFileInfo::exists(folder + QStringLiteral("/bridge"));
    facts.tun = QFileInfo::exists(folder + QStringLiteral("/tun_flags"));
    for (const QByteArray &line : readSmall(folder + QStringLiteral("/uevent")).split('\n')) {
        if (line.startsWith("DEVTYPE="))
            facts.devType = QString::fromLatin1(line.mid(8));
    }
    bool ok = false;
    const int type = readSmall(folder + QStringLiteral("/type")).trimmed().toInt(&ok);
    if (ok)
        facts.arpType = type;
    if (facts.bridge) {
        // A port with a device link is a real card (or a virtual machine's emulated one, rare on a host).
        const QStringList ports =
            QDir(folder + QStringLiteral("/brif")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
        for (const QString &port : ports) {
            if (QFileInfo::exists(QStringLiteral("/sys/class/net/%1/device").arg(port)))
                facts.bridgeWithPhysicalPort = true;
        }
    }
    return facts;
}

QList<LanInterface> read()
{
    QList<LanInterface> interfaces;
    for (const QNetworkInterface &interface : QNetworkInterface::allInterfaces()) {
        const auto flags = interface.flags();
        LanInterface lan;
        lan.name = interface.name();
        lan.up = flags.testFlag(QNetworkInterface::IsUp);
        lan.running = flags.testFlag(QNetworkInterface::IsRunning);
        lan.loopback = flags.testFlag(QNetworkInterface::IsLoopBack);
        lan.canBroadcast = flags.testFlag(QNetworkInterface::CanBroadcast);
        lan.kind =
            lan.loopback ? LanInterface::Kind::Loopback : LanAddress::kindOf(lan.name, kernelFacts(lan.name));
        for (const QNetworkAddressEntry &entry : interface.addressEntries())
            lan.entries.append({entry.ip(), entry.prefixLength(), entry.broadcast()});
        interfaces.append(lan);
    }
    return interfaces;
}

std::optional<QHostAddress> defaultRouteSource()
{
    QUdpSocket probe;
    // Nothing is sent, so no proxy applies. Asking for one went through libproxy, which on Debian 13
    // starts GLib's network monitor, and that waits for a system bus that may never answer.
    probe.setProxy(QNetworkProxy::NoProxy);
    probe.connectToHost(QHostAddress(QStringLiteral("198.51.100.1")), 9);
    if (!probe.waitForConnected(200))
        return std::nullopt;
    const QHostAddress source = probe.localAddress();
    if (source.isNull() || source.isLoopback() || source.protocol() != QAbstractSocket::IPv4Protocol)
        return std::nullopt;
    return source;
}

} // namespace SystemInterfaces
