#pragma once

#include <QList>
#include <QString>
#include <optional>

// Whether the packet filter lets an incoming UDP datagram to a port through, read from what
// `nft -j list ruleset`, `iptables -S` and `ufw status` print.
namespace FirewallRules {

// One rule reduced to what decides a new incoming UDP datagram.
struct Rule
{
    enum class Verdict { Accept, Drop, Other };
    Verdict verdict = Verdict::Other;
    bool understood = true;           // false: a condition this reader cannot judge; the rule is skipped
    bool udpOnly = false;             // matches UDP only (else any protocol)
    bool otherProtocol = false;       // matches a protocol that is not UDP
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
bool drops(const QList<Chain> &chains, int port, const QString &interface);

// ufw: active, and neither the application profile nor the port allowed.
bool ufwActive(const QString &statusText);
bool ufwAllows(const QString &statusText, const QString &profile, int port);

} // namespace FirewallRules
