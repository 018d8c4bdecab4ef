#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <optional>

// Whether the packet filter lets an incoming UDP datagram (the chat) or TCP connection (shared
// files) to a port through, read from what `nft -j list ruleset`, `iptables -S` and `ufw status` print.
namespace FirewallRules {

enum class Protocol { Udp, Tcp };

// One rule reduced to what decides a new incoming datagram or connection.
struct Rule
{
    enum class Verdict { Accept, Drop, Other };
    Verdict verdict = Verdict::Other;
    bool understood = true; // false: a condition this reader cannot judge; the rule is skipped
    // The protocols it matches ("udp", "tcp", "icmp", ...); empty: any. {"-"} when its conditions
    // exclude each other.
    QStringList protocols;
    bool protocolsNegated = false;    // matches every protocol but those
    QList<std::pair<int, int>> ports; // destination port ranges; empty: any
    bool portsNegated = false;
    QString inputInterface; // empty: any
    bool newPackets = true; // false when it only matches established or related traffic
};

struct Chain
{
    QString name;
    bool dropByDefault = false;
    QList<Rule> rules;
};

// The chains that see incoming traffic (nftables base chains with the input hook, iptables' INPUT).
std::optional<QList<Chain>> parseNftJson(const QByteArray &json);
QList<Chain> parseIptables(const QString &text);

// The first rule that certainly matches decides; a chain's policy when none does, unless a rule
// it cannot judge (a jump, an address) comes first. A drop in any chain drops the datagram: only
// certain drops count, a wrong accusation sends the user after the wrong cause.
bool drops(const QList<Chain> &chains, int port, const QString &interface, Protocol protocol = Protocol::Udp);

// ufw: active, and neither the application profile nor the port allowed.
bool ufwActive(const QString &statusText);
bool ufwAllows(const QString &statusText, const QString &profile, int port,
               Protocol protocol = Protocol::Udp);

} // namespace FirewallRules
