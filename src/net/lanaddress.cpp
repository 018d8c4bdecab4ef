#include "lanaddress.h"

#include <QRegularExpression>

namespace LanAddress {

LanInterface::Kind kindOf(const QString &name, const KernelFacts &facts)
{
    using Kind = LanInterface::Kind;
    static const QRegularExpression bridges(QStringLiteral("^(docker|br-|virbr|lxcbr|lxdbr|cni|podman)"));
    static const QRegularExpression tunnels(QStringLiteral("^(tun|tap|wg|ppp)"));
    if (name == QLatin1String("lo"))
        return Kind::Loopback;
    if (name.startsWith(QLatin1String("veth")))
        return Kind::Veth;
    if (bridges.match(name).hasMatch())
        return Kind::Bridge;
    if (tunnels.match(name).hasMatch())
        return Kind::Tunnel;
    if (facts.tun || facts.devType == QLatin1String("wireguard") || facts.arpType == 512 ||
        facts.arpType == 65534)
        return Kind::Tunnel;
    if ((facts.bridge || facts.devType == QLatin1String("bridge")) && !facts.bridgeWithPhysicalPort)
        return Kind::Bridge;
    return Kind::Lan;
}

bool isVirtual(LanInterface::Kind kind)
{
    return kind == LanInterface::Kind::Bridge || kind == LanInterface::Kind::Veth ||
           kind == LanInterface::Kind::Tunnel;
}

QString kindName(LanInterface::Kind kind)
{
    switch (kind) {
    case LanInterface::Kind::Lan: return QStringLiteral("lan");
    case LanInterface::Kind::Loopback: return QStringLiteral("loopback");
    case LanInterface::Kind::Bridge: return QStringLiteral("bridge");
    case LanInterface::Kind::Veth: return QStringLiteral("veth");
    case LanInterface::Kind::Tunnel: return QStringLiteral("tunnel");
    }
    return QString();
}

bool isUsable(const LanInterface &interface)
{
    return interface.up && interface.running && !interface.loopback && interface.canBroadcast;
}

std::optional<Choice> choose(const QList<LanInterface> &interfaces,
                             const std::optional<QHostAddress> &routeSource)
{
    std::optional<Choice> firstReal;
    std::optional<Choice> firstVirtual;
    for (int i = 0; i < interfaces.size(); ++i) {
        const LanInterface &interface = interfaces.at(i);
        if (!isUsable(interface))
            continue;
        for (int e = 0; e < interface.entries.size(); ++e) {
            const QHostAddress &ip = interface.entries.at(e).ip;
            if (ip.protocol() != QAbstractSocket::IPv4Protocol)
                continue;
            const Choice choice{i, e, ip};
            if (routeSource && ip.isEqual(*routeSource))
                return choice;
            std::optional<Choice> &first = isVirtual(interface.kind) ? firstVirtual : firstReal;
            if (!first)
                first = choice;
        }
    }
    return firstReal ? firstReal : firstVirtual;
}

std::optional<QHostAddress> chooseLanAddress(const QList<LanInterface> &interfaces,
                                             const std::optional<QHostAddress> &routeSource)
{
    const auto choice = choose(interfaces, routeSource);
    if (!choice)
        return std::nullopt;
    return choice->address;
}

} // namespace LanAddress
