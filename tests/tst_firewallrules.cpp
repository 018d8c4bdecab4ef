#include "doctor/firewallrules.h"

#include <QTest>

namespace {

QByteArray nftInput(const QString &policy, const QStringList &rules,
                    const QString &hook = QStringLiteral("input"))
{
    QString json = QStringLiteral(R"({"nftables": [{"metainfo": {"version": "1.0.6"}},
        {"table": {"family": "inet", "name": "filter", "handle": 1}},
        {"chain": {"family": "inet", "table": "filter", "name": "input", "handle": 1, "type": "filter",
                   "hook": "%1", "prio": 0, "policy": "%2"}})")
                       .arg(hook, policy);
    for (const QString &expr : rules)
        json += QStringLiteral(
                    R"(, {"rule": {"family": "inet", "table": "filter", "chain": "input", "expr": [%1]}})")
                    .arg(expr);
    return (json + QStringLiteral("]}")).toUtf8();
}

const QString established = QStringLiteral(
    R"({"match": {"op": "in", "left": {"ct": {"key": "state"}}, "right": ["established", "related"]}}, {"accept": null})");

QString udpPort(const QString &right, const QString &verdict, const QString &protocol = QStringLiteral("udp"))
{
    return QStringLiteral(
               R"({"match": {"op": "==", "left": {"payload": {"protocol": "%1", "field": "dport"}}, "right": %2}}, {"%3": null})")
        .arg(protocol, right, verdict);
}

} // namespace

// A wrong answer either sends the user hunting a firewall that lets everything through, or
// hides the rule that drops every presence notice.
class TestFirewallRules : public QObject
{
    Q_OBJECT

private slots:
    void nftables_data()
    {
        QTest::addColumn<QByteArray>("ruleset");
        QTest::addColumn<int>("port");
        QTest::addColumn<bool>("dropped");
        const QString drop = QStringLiteral("drop");
        const QString accept = QStringLiteral("accept");
        const QByteArray allowSet =
            nftInput(drop, {established, udpPort(QStringLiteral(R"({"set": [1000, 50011]})"), accept)});
        QTest::newRow("policy drop, port in the accepted set") << allowSet << 50011 << false;
        QTest::newRow("policy drop, port not accepted") << allowSet << 1001 << true;
        // The test bed's rule: established traffic accepted first, a new datagram is not established.
        const QByteArray dropPresence =
            nftInput(accept, {established, udpPort(QStringLiteral("50011"), drop)});
        QTest::newRow("drop rule on the presence port") << dropPresence << 50011 << true;
        QTest::newRow("drop rule, other port") << dropPresence << 1000 << false;
        QTest::newRow("range") << nftInput(accept, {udpPort(QStringLiteral(R"({"range": [900, 1100]})"),
                                                            QStringLiteral("reject"))})
                               << 1000 << true;
        QTest::newRow("tcp rule leaves udp alone")
            << nftInput(accept, {udpPort(QStringLiteral("1000"), drop, QStringLiteral("tcp"))}) << 1000
            << false;
        QTest::newRow("accept before drop") << nftInput(accept, {udpPort(QStringLiteral("1000"), accept),
                                                                 udpPort(QStringLiteral("1000"), drop)})
                                            << 1000 << false;
        const QString fromElsewhere = QStringLiteral(
            R"({"match": {"op": "==", "left": {"payload": {"protocol": "ip", "field": "saddr"}}, "right": {"prefix": {"addr": "10.0.0.0", "len": 8}}}}, {"drop": null})");
        QTest::newRow("unknown condition is not taken as a drop")
            << nftInput(accept, {fromElsewhere}) << 1000 << false;
        const QString otherInterface = QStringLiteral(
            R"({"match": {"op": "==", "left": {"meta": {"key": "iifname"}}, "right": "wg0"}}, {"drop": null})");
        QTest::newRow("rule for another interface") << nftInput(accept, {otherInterface}) << 1000 << false;
        const QString jump = QStringLiteral(R"({"jump": {"target": "allowed"}})");
        QTest::newRow("policy drop after a jump is not certain") << nftInput(drop, {jump}) << 1000 << false;
        QTest::newRow("output chain does not filter arrivals")
            << nftInput(drop, {}, QStringLiteral("output")) << 1000 << false;
    }

    void nftables()
    {
        QFETCH(QByteArray, ruleset);
        QFETCH(int, port);
        QFETCH(bool, dropped);
        const auto chains = FirewallRules::parseNftJson(ruleset);
        QVERIFY2(chains, ruleset.constData());
        QCOMPARE(FirewallRules::drops(*chains, port, QStringLiteral("eth0")), dropped);
    }

    // The share server's TCP range beside the chat's UDP ports: an accept for one protocol must not
    // be taken for the other, and a rule for both must count for each.
    void protocols_data()
    {
        QTest::addColumn<QByteArray>("ruleset"); // nft JSON, or iptables -S when it starts with '-'
        QTest::addColumn<int>("port");
        QTest::addColumn<bool>("udpDropped");
        QTest::addColumn<bool>("tcpDropped");
        const QString drop = QStringLiteral("drop");
        const QString accept = QStringLiteral("accept");
        const QString shareRange = QStringLiteral(R"({"range": [50012, 50019]})");
        QTest::newRow("only the chat's udp ports accepted")
            << nftInput(drop, {established, udpPort(QStringLiteral(R"({"set": [1000, 50011]})"), accept)})
            << 50011 << false << true;
        QTest::newRow("tcp range accepted")
            << nftInput(drop, {udpPort(shareRange, accept, QStringLiteral("tcp"))}) << 50015 << true << false;
        const QString bothProtocols = QStringLiteral(
            R"({"match": {"op": "==", "left": {"meta": {"key": "l4proto"}}, "right": {"set": ["tcp", "udp"]}}}, )");
        QTest::newRow("one rule for tcp and udp")
            << nftInput(drop, {bothProtocols + udpPort(shareRange, accept, QStringLiteral("th"))}) << 50012
            << false << false;
        const QString tcpByNumber = QStringLiteral(
            R"({"match": {"op": "==", "left": {"payload": {"protocol": "ip", "field": "protocol"}}, "right": 6}}, {"drop": null})");
        QTest::newRow("protocol 6 dropped") << nftInput(accept, {tcpByNumber}) << 50012 << false << true;
        QTest::newRow("iptables tcp range accepted")
            << QByteArray("-P INPUT DROP\n-A INPUT -p tcp -m tcp --dport 50012:50019 -j ACCEPT\n") << 50019
            << true << false;
        QTest::newRow("iptables all but udp dropped")
            << QByteArray("-P INPUT ACCEPT\n-A INPUT ! -p udp -j DROP\n") << 50012 << false << true;
    }

    void protocols()
    {
        QFETCH(QByteArray, ruleset);
        QFETCH(int, port);
        QFETCH(bool, udpDropped);
        QFETCH(bool, tcpDropped);
        const auto chains =
            ruleset.startsWith('-')
                ? FirewallRules::parseIptables(QString::fromUtf8(ruleset))
                : FirewallRules::parseNftJson(ruleset).value_or(QList<FirewallRules::Chain>{});
        const QString eth0 = QStringLiteral("eth0");
        QCOMPARE(FirewallRules::drops(chains, port, eth0, FirewallRules::Protocol::Udp), udpDropped);
        QCOMPARE(FirewallRules::drops(chains, port, eth0, FirewallRules::Protocol::Tcp), tcpDropped);
    }

    void nftablesGarbage()
    {
        QVERIFY(!FirewallRules::parseNftJson("Error: syntax error"));
        QVERIFY(FirewallRules::parseNftJson(R"({"nftables": []})")->isEmpty());
    }

    void iptables_data()
    {
        QTest::addColumn<QString>("rules");
        QTest::addColumn<int>("port");
        QTest::addColumn<bool>("dropped");
        const QString strict =
            QStringLiteral("-P INPUT DROP\n-P FORWARD DROP\n-P OUTPUT ACCEPT\n"
                           "-A INPUT -m conntrack --ctstate RELATED,ESTABLISHED -j ACCEPT\n"
                           "-A INPUT -i lo -j ACCEPT\n"
                           "-A INPUT -p udp -m udp --dport 1000 -j ACCEPT\n");
        QTest::newRow("accepted port") << strict << 1000 << false;
        QTest::newRow("policy drops the rest") << strict << 50011 << true;
        QTest::newRow("multiport drop")
            << QStringLiteral("-P INPUT ACCEPT\n-A INPUT -p udp -m multiport --dports 1000,50011 -j DROP\n")
            << 50011 << true;
        QTest::newRow("port range reject")
            << QStringLiteral("-P INPUT ACCEPT\n-A INPUT -p udp --dport 999:1001 -j REJECT --reject-with "
                              "icmp-port-unreachable\n")
            << 1000 << true;
        QTest::newRow("tcp only") << QStringLiteral(
                                         "-P INPUT ACCEPT\n-A INPUT -p tcp -m tcp --dport 1000 -j DROP\n")
                                  << 1000 << false;
        QTest::newRow("source condition skipped")
            << QStringLiteral("-P INPUT ACCEPT\n-A INPUT -s 10.0.0.0/8 -j DROP\n") << 1000 << false;
        // ufw's own chains decide; its status is read on its own.
        QTest::newRow("jump into ufw's chains")
            << QStringLiteral(
                   "-P INPUT DROP\n-A INPUT -j ufw-before-logging-input\n-A INPUT -j ufw-before-input\n")
            << 1000 << false;
        QTest::newRow("other chains ignored")
            << QStringLiteral("-P INPUT ACCEPT\n-A FORWARD -j DROP\n") << 1000 << false;
    }

    void iptables()
    {
        QFETCH(QString, rules);
        QFETCH(int, port);
        QFETCH(bool, dropped);
        QCOMPARE(FirewallRules::drops(FirewallRules::parseIptables(rules), port, QStringLiteral("eth0")),
                 dropped);
    }

    void ufw()
    {
        const QString inactive = QStringLiteral("Status: inactive\n");
        QVERIFY(!FirewallRules::ufwActive(inactive));
        const QString header =
            QStringLiteral("Status: active\n\nTo                         Action      From\n"
                           "--                         ------      ----\n"
                           "22/tcp                     ALLOW       Anywhere\n");
        QVERIFY(FirewallRules::ufwActive(header));
        QVERIFY(!FirewallRules::ufwAllows(header, QStringLiteral("zumzum-chat"), 1000));
        const QString profile = header + QStringLiteral("zumzum-chat                ALLOW       Anywhere\n");
        QVERIFY(FirewallRules::ufwAllows(profile, QStringLiteral("zumzum-chat"), 50011));
        const QString ports = header + QStringLiteral("1000,50011/udp             ALLOW       Anywhere\n");
        QVERIFY(FirewallRules::ufwAllows(ports, QStringLiteral("zumzum-chat"), 50011));
        QVERIFY(!FirewallRules::ufwAllows(ports, QStringLiteral("zumzum-chat"), 1001));
        const QString denied = header + QStringLiteral("1000/udp                   DENY        Anywhere\n");
        QVERIFY(!FirewallRules::ufwAllows(denied, QStringLiteral("zumzum-chat"), 1000));

        // As ufw 0.36.2 on Debian 12 prints it, blanks at the ends of the lines included: enabled
        // with no rule, then with the profile and ssh allowed.
        const QString enabled = QStringLiteral("Status: active\n");
        QVERIFY(FirewallRules::ufwActive(enabled));
        QVERIFY(!FirewallRules::ufwAllows(enabled, QStringLiteral("zumzum-chat"), 50011));
        const QString allowed =
            QStringLiteral("Status: active\n\n"
                           "To                         Action      From\n"
                           "--                         ------      ----\n"
                           "zumzum-chat                ALLOW       Anywhere                  \n"
                           "22/tcp                     ALLOW       Anywhere                  \n"
                           "zumzum-chat (v6)           ALLOW       Anywhere (v6)             \n"
                           "22/tcp (v6)                ALLOW       Anywhere (v6)             \n\n");
        QVERIFY(FirewallRules::ufwAllows(allowed, QStringLiteral("zumzum-chat"), 1000));
        QVERIFY(FirewallRules::ufwAllows(allowed, QStringLiteral("zumzum-chat"), 50011));

        // The share server's range, allowed by port: for TCP only.
        using FirewallRules::Protocol;
        const QString share = header + QStringLiteral("50012:50019/tcp            ALLOW       Anywhere\n");
        QVERIFY(FirewallRules::ufwAllows(share, QStringLiteral("zumzum-chat"), 50019, Protocol::Tcp));
        QVERIFY(!FirewallRules::ufwAllows(share, QStringLiteral("zumzum-chat"), 50019, Protocol::Udp));
        QVERIFY(!FirewallRules::ufwAllows(ports, QStringLiteral("zumzum-chat"), 50011, Protocol::Tcp));
        QVERIFY(FirewallRules::ufwAllows(allowed, QStringLiteral("zumzum-chat"), 50012, Protocol::Tcp));
    }
};

QTEST_APPLESS_MAIN(TestFirewallRules)
#include "tst_firewallrules.moc"
