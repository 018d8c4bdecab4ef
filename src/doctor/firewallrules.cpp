#include "firewallrules.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QStringList>

namespace {

using FirewallRules::Chain;
using FirewallRules::Rule;

QString protocolName(FirewallRules::Protocol protocol)
{
    return protocol == FirewallRules::Protocol::Tcp ? QStringLiteral("tcp") : QStringLiteral("udp");
}

// nft prints a protocol as a name or a number, alone or in a set.
QStringList protocolNames(const QJsonValue &value)
{
    if (value.isString())
        return {value.toString()};
    if (value.isDouble()) {
        const int number = value.toInt(-1);
        return {number == 6    ? QStringLiteral("tcp")
                : number == 17 ? QStringLiteral("udp")
                               : QString::number(number)};
    }
    QStringList names;
    for (const QJsonValue &item : value.toObject().value(QLatin1String("set")).toArray())
        names += protocolNames(item);
    return names;
}

// A further condition on the protocol: both must hold.
void restrictProtocols(Rule &rule, const QStringList &names, bool negated)
{
    if (names.isEmpty()) {
        rule.understood = false;
    } else if (rule.protocols.isEmpty()) {
        rule.protocols = names;
        rule.protocolsNegated = negated;
    } else if (!rule.protocolsNegated && !negated) {
        QStringList both;
        for (const QString &name : names) {
            if (rule.protocols.contains(name))
                both.append(name);
        }
        rule.protocols = both.isEmpty() ? QStringList{QStringLiteral("-")} : both;
    } else if (rule.protocolsNegated && negated) {
        rule.protocols += names;
    } else {
        const QStringList excluded = negated ? names : rule.protocols;
        QStringList kept;
        for (const QString &name : negated ? rule.protocols : names) {
            if (!excluded.contains(name))
                kept.append(name);
        }
        rule.protocols = kept.isEmpty() ? QStringList{QStringLiteral("-")} : kept;
        rule.protocolsNegated = false;
    }
}

// nft prints a port as a number, a set of numbers and ranges, or a range.
void addPorts(const QJsonValue &value, Rule &rule)
{
    if (value.isDouble()) {
        rule.ports.append({value.toInt(), value.toInt()});
    } else if (value.isObject() && value.toObject().contains(QLatin1String("range"))) {
        const QJsonArray range = value.toObject().value(QLatin1String("range")).toArray();
        rule.ports.append({range.at(0).toInt(), range.at(1).toInt()});
    } else if (value.isObject() && value.toObject().contains(QLatin1String("set"))) {
        for (const QJsonValue &item : value.toObject().value(QLatin1String("set")).toArray())
            addPorts(item, rule);
    } else {
        rule.understood = false;
    }
}

void readMatch(const QJsonObject &match, Rule &rule)
{
    const QString op = match.value(QLatin1String("op")).toString();
    const QJsonObject left = match.value(QLatin1String("left")).toObject();
    const QJsonValue right = match.value(QLatin1String("right"));
    const bool equal = op == QLatin1String("==") || op == QLatin1String("in");
    const bool notEqual = op == QLatin1String("!=");
    if (!equal && !notEqual) {
        rule.understood = false;
        return;
    }
    const QJsonObject payload = left.value(QLatin1String("payload")).toObject();
    const QString meta = left.value(QLatin1String("meta")).toObject().value(QLatin1String("key")).toString();
    const QString field = payload.value(QLatin1String("field")).toString();
    const QString protocol = payload.value(QLatin1String("protocol")).toString();
    if (!payload.isEmpty() && field == QLatin1String("dport")) {
        // "th" is the transport header of any protocol with ports.
        if (protocol != QLatin1String("th"))
            restrictProtocols(rule, {protocol}, false);
        addPorts(right, rule);
        rule.portsNegated = notEqual;
    } else if (meta == QLatin1String("l4proto") ||
               (!payload.isEmpty() &&
                (field == QLatin1String("protocol") || field == QLatin1String("nexthdr")))) {
        restrictProtocols(rule, protocolNames(right), notEqual);
    } else if (meta == QLatin1String("iifname") && equal && right.isString()) {
        rule.inputInterface = right.toString();
    } else if (left.contains(QLatin1String("ct")) &&
               left.value(QLatin1String("ct")).toObject().value(QLatin1String("key")).toString() ==
                   QLatin1String("state")) {
        QStringList states;
        if (right.isString())
            states.append(right.toString());
        for (const QJsonValue &state : right.toObject().value(QLatin1String("set")).toArray())
            states.append(state.toString());
        for (const QJsonValue &state : right.toArray())
            states.append(state.toString());
        rule.newPackets = states.contains(QLatin1String("new")) == equal;
    } else {
        rule.understood = false;
    }
}

Rule readNftRule(const QJsonArray &expressions)
{
    Rule rule;
    for (const QJsonValue &value : expressions) {
        const QJsonObject expression = value.toObject();
        if (expression.contains(QLatin1String("match")))
            readMatch(expression.value(QLatin1String("match")).toObject(), rule);
        else if (expression.contains(QLatin1String("accept")))
            rule.verdict = Rule::Verdict::Accept;
        else if (expression.contains(QLatin1String("drop")) || expression.contains(QLatin1String("reject")))
            rule.verdict = Rule::Verdict::Drop;
        else if (!expression.contains(QLatin1String("counter")) &&
                 !expression.contains(QLatin1String("log")) && !expression.contains(QLatin1String("limit")))
            rule.understood = false; // jumps, sets, marks: this reader does not follow them
    }
    return rule;
}

bool matches(const Rule &rule, const QString &protocol, int port, const QString &interface)
{
    if (!rule.understood || rule.verdict == Rule::Verdict::Other || !rule.newPackets)
        return false;
    if (!rule.protocols.isEmpty() && rule.protocols.contains(protocol) == rule.protocolsNegated)
        return false;
    if (!rule.inputInterface.isEmpty() && rule.inputInterface != interface)
        return false;
    if (rule.ports.isEmpty())
        return true;
    bool inside = false;
    for (const auto &[first, last] : rule.ports)
        inside = inside || (port >= first && port <= last);
    return inside != rule.portsNegated;
}

QList<std::pair<int, int>> iptablesPorts(const QString &text)
{
    QList<std::pair<int, int>> ports;
    for (const QString &item : text.split(QLatin1Char(','))) {
        const QStringList range = item.split(QLatin1Char(':'));
        const int first = range.value(0).toInt();
        ports.append({first, range.size() > 1 ? range.at(1).toInt() : first});
    }
    return ports;
}

Rule readIptablesRule(const QStringList &words)
{
    Rule rule;
    for (int i = 2; i < words.size(); ++i) {
        const QString &word = words.at(i);
        bool negated = false;
        if (word == QLatin1String("!")) {
            negated = true;
            ++i;
        }
        const QString option = words.value(i);
        const QString value = words.value(i + 1);
        if (option == QLatin1String("-p")) {
            if (value != QLatin1String("all"))
                restrictProtocols(rule, {value}, negated);
            ++i;
        } else if (option == QLatin1String("--dport") || option == QLatin1String("--dports")) {
            rule.ports = iptablesPorts(value);
            rule.portsNegated = negated;
            ++i;
        } else if (option == QLatin1String("-i") && !negated) {
            rule.inputInterface = value;
            ++i;
        } else if (option == QLatin1String("-m")) {
            ++i;
        } else if (option == QLatin1String("--state") || option == QLatin1String("--ctstate")) {
            rule.newPackets = value.split(QLatin1Char(',')).contains(QLatin1String("NEW")) != negated;
            ++i;
        } else if (option == QLatin1String("-j")) {
            if (value == QLatin1String("ACCEPT"))
                rule.verdict = Rule::Verdict::Accept;
            else if (value == QLatin1String("DROP") || value == QLatin1String("REJECT"))
                rule.verdict = Rule::Verdict::Drop;
            else if (value != QLatin1String("LOG"))
                rule.understood = false; // a jump into a chain of its own (ufw's, for one)
            i = int(words.size());
        } else if (option == QLatin1String("--comment")) {
            ++i;
        } else {
            rule.understood = false;
            ++i;
        }
    }
    return rule;
}

} // namespace

namespace FirewallRules {

std::optional<QList<Chain>> parseNftJson(const QByteArray &json)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(json, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    const QJsonArray items = document.object().value(QLatin1String("nftables")).toArray();
    QList<Chain> chains;
    QStringList keys; // family, table, chain of each input chain
    for (const QJsonValue &item : items) {
        const QJsonObject chain = item.toObject().value(QLatin1String("chain")).toObject();
        if (chain.value(QLatin1String("hook")).toString() != QLatin1String("input"))
            continue;
        const QString family = chain.value(QLatin1String("family")).toString();
        if (family != QLatin1String("ip") && family != QLatin1String("inet"))
            continue;
        Chain input;
        input.name = QStringLiteral("%1 %2 %3")
                         .arg(family, chain.value(QLatin1String("table")).toString(),
                              chain.value(QLatin1String("name")).toString());
        input.dropByDefault = chain.value(QLatin1String("policy")).toString() == QLatin1String("drop");
        chains.append(input);
        keys.append(input.name);
    }
    for (const QJsonValue &item : items) {
        const QJsonObject rule = item.toObject().value(QLatin1String("rule")).toObject();
        if (rule.isEmpty())
            continue;
        const QString key = QStringLiteral("%1 %2 %3")
                                .arg(rule.value(QLatin1String("family")).toString(),
                                     rule.value(QLatin1String("table")).toString(),
                                     rule.value(QLatin1String("chain")).toString());
        const qsizetype index = keys.indexOf(key);
        if (index >= 0)
            chains[index].rules.append(readNftRule(rule.value(QLatin1String("expr")).toArray()));
    }
    return chains;
}

QList<Chain> parseIptables(const QString &text)
{
    Chain input;
    input.name = QStringLiteral("INPUT");
    for (const QString &line : text.split(QLatin1Char('\n'))) {
        const QStringList words = line.simplified().split(QLatin1Char(' '));
        if (words.size() < 2 || words.at(1) != QLatin1String("INPUT"))
            continue;
        if (words.at(0) == QLatin1String("-P"))
            input.dropByDefault = words.value(2) == QLatin1String("DROP");
        else if (words.at(0) == QLatin1String("-A"))
            input.rules.append(readIptablesRule(words));
    }
    return {input};
}

bool drops(const QList<Chain> &chains, int port, const QString &interface, Protocol protocol)
{
    const QString name = protocolName(protocol);
    for (const Chain &chain : chains) {
        bool decided = false;
        // A rule this reader cannot judge may accept the datagram before the policy drops it.
        bool uncertain = false;
        for (const Rule &rule : chain.rules) {
            uncertain = uncertain || !rule.understood;
            if (!matches(rule, name, port, interface))
                continue;
            if (rule.verdict == Rule::Verdict::Drop)
                return true;
            decided = true; // accepted by this chain
            break;
        }
        if (!decided && chain.dropByDefault && !uncertain)
            return true;
    }
    return false;
}

bool ufwActive(const QString &statusText)
{
    return statusText.contains(QLatin1String("Status: active"));
}

bool ufwAllows(const QString &statusText, const QString &profile, int port, Protocol protocol)
{
    static const QRegularExpression allow(QStringLiteral("^(\\S+(?: \\(v6\\))?)\\s+ALLOW(?: IN)?\\s"));
    for (const QString &line : statusText.split(QLatin1Char('\n'))) {
        const auto match = allow.match(line);
        if (!match.hasMatch())
            continue;
        const QString to = match.captured(1);
        if (to == profile)
            return true;
        // "1000/udp", "1000,50011/udp", "50012:50019/tcp", "1000"
        const QString ports = to.section(QLatin1Char('/'), 0, 0);
        const QString onlyFor = to.section(QLatin1Char('/'), 1, 1);
        if (!onlyFor.isEmpty() && onlyFor != protocolName(protocol))
            continue;
        for (const auto &[first, last] : iptablesPorts(ports)) {
            if (port >= first && port <= last && first > 0)
                return true;
        }
    }
    return false;
}

} // namespace FirewallRules
