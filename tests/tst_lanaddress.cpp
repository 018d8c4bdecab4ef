#include "net/lanaddress.h"
#include "net/systeminterfaces.h"

#include <QNetworkProxyFactory>
#include <QTest>

Q_DECLARE_METATYPE(LanAddress::KernelFacts)

namespace {

using Kind = LanInterface::Kind;

LanInterface lan(const QStringList &addresses, bool loopback = false, bool up = true, bool broadcast = true,
                 Kind kind = Kind::Lan)
{
    LanInterface interface;
    interface.up = up;
    interface.running = up;
    interface.loopback = loopback;
    interface.canBroadcast = broadcast;
    interface.kind = kind;
    for (const QString &address : addresses)
        interface.entries.append({QHostAddress(address), 24, {}});
    return interface;
}

LanInterface virtualLan(const QString &address, Kind kind)
{
    return lan({address}, false, true, true, kind);
}

class CountingProxyFactory : public QNetworkProxyFactory
{
public:
    explicit CountingProxyFactory(int &queries) : m_queries(queries) {}
    QList<QNetworkProxy> queryProxy(const QNetworkProxyQuery &) override
    {
        ++m_queries;
        return {QNetworkProxy::NoProxy};
    }

private:
    int &m_queries;
};

} // namespace

// The host name resolves to 127.0.1.1 on Debian, and an idle container bridge looks up and
// running: neither may become the address peers see.
class TestLanAddress : public QObject
{
    Q_OBJECT

private slots:
    void prefersTheDefaultRouteInterface()
    {
        const QList<LanInterface> interfaces = {
            lan({QStringLiteral("127.0.0.1")}, true), lan({QStringLiteral("172.17.0.1")}),
            lan({QStringLiteral("fe80::1"), QStringLiteral("192.168.1.23")})};
        const auto chosen =
            LanAddress::chooseLanAddress(interfaces, QHostAddress(QStringLiteral("192.168.1.23")));
        QVERIFY(chosen);
        QCOMPARE(chosen->toString(), QStringLiteral("192.168.1.23"));
    }

    // The system's proxy settings came from libproxy, which on Debian 13 waits for the system bus:
    // a bus that never answered held the join notice. The lookup sends nothing; no proxy applies.
    void routeLookupAsksForNoProxy()
    {
        int queries = 0;
        QNetworkProxyFactory::setApplicationProxyFactory(new CountingProxyFactory(queries));
        SystemInterfaces::defaultRouteSource();
        QNetworkProxyFactory::setApplicationProxyFactory(nullptr);
        QCOMPARE(queries, 0);
    }

    void fallsBackToTheFirstUsableInterface()
    {
        const QList<LanInterface> interfaces = {
            lan({QStringLiteral("127.0.0.1")}, true), lan({QStringLiteral("10.1.1.1")}, false, false),
            lan({QStringLiteral("10.2.2.2")}, false, true, false), lan({QStringLiteral("fe80::2")}),
            lan({QStringLiteral("198.18.0.7")})};
        const auto chosen = LanAddress::chooseLanAddress(interfaces, std::nullopt);
        QVERIFY(chosen);
        QCOMPARE(chosen->toString(), QStringLiteral("198.18.0.7"));
    }

    void noUsableInterface()
    {
        QVERIFY(!LanAddress::chooseLanAddress({lan({QStringLiteral("127.0.0.1")}, true)}, std::nullopt));
        QVERIFY(!LanAddress::chooseLanAddress({}, std::nullopt));
    }

    // Without a default route docker0 (listed first, up, running) used to become the address, and
    // nobody heard the chat.
    void fallbackSkipsVirtualInterfaces()
    {
        const QList<LanInterface> interfaces = {virtualLan(QStringLiteral("198.19.0.1"), Kind::Bridge),
                                                virtualLan(QStringLiteral("198.19.1.1"), Kind::Tunnel),
                                                virtualLan(QStringLiteral("198.19.2.1"), Kind::Veth),
                                                lan({QStringLiteral("198.18.0.7")})};
        const auto chosen = LanAddress::choose(interfaces, std::nullopt);
        QVERIFY(chosen);
        QCOMPARE(chosen->address.toString(), QStringLiteral("198.18.0.7"));
        QCOMPARE(chosen->interface, 3);

        // Only virtual ones left: the first of them rather than none.
        const auto onlyVirtual = LanAddress::chooseLanAddress(interfaces.mid(0, 3), std::nullopt);
        QVERIFY(onlyVirtual);
        QCOMPARE(onlyVirtual->toString(), QStringLiteral("198.19.0.1"));

        // The default route still wins, even through a bridge: that is where the kernel sends.
        const auto routed =
            LanAddress::chooseLanAddress(interfaces, QHostAddress(QStringLiteral("198.19.1.1")));
        QCOMPARE(routed->toString(), QStringLiteral("198.19.1.1"));
    }

    void kindOf_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<LanAddress::KernelFacts>("facts");
        QTest::addColumn<QString>("kind");
        const LanAddress::KernelFacts plain;
        LanAddress::KernelFacts bridge;
        bridge.bridge = true;
        LanAddress::KernelFacts hostBridge = bridge;
        hostBridge.bridgeWithPhysicalPort = true;
        LanAddress::KernelFacts tun;
        tun.tun = true;
        tun.arpType = 65534;
        LanAddress::KernelFacts wireguard;
        wireguard.devType = QStringLiteral("wireguard");
        wireguard.arpType = 65534;
        LanAddress::KernelFacts ppp;
        ppp.arpType = 512;

        QTest::newRow("eth0") << QStringLiteral("eth0") << plain << QStringLiteral("lan");
        QTest::newRow("wlan") << QStringLiteral("wlp2s0") << plain << QStringLiteral("lan");
        QTest::newRow("lo") << QStringLiteral("lo") << plain << QStringLiteral("loopback");
        QTest::newRow("docker0") << QStringLiteral("docker0") << plain << QStringLiteral("bridge");
        QTest::newRow("docker0 even with a card")
            << QStringLiteral("docker0") << hostBridge << QStringLiteral("bridge");
        QTest::newRow("br-") << QStringLiteral("br-3f2a9c") << plain << QStringLiteral("bridge");
        QTest::newRow("br0 is not br-") << QStringLiteral("br0") << plain << QStringLiteral("lan");
        QTest::newRow("virbr0") << QStringLiteral("virbr0") << plain << QStringLiteral("bridge");
        QTest::newRow("lxcbr0") << QStringLiteral("lxcbr0") << plain << QStringLiteral("bridge");
        QTest::newRow("cni0") << QStringLiteral("cni0") << plain << QStringLiteral("bridge");
        QTest::newRow("veth") << QStringLiteral("veth12ab") << plain << QStringLiteral("veth");
        QTest::newRow("tun0") << QStringLiteral("tun0") << plain << QStringLiteral("tunnel");
        QTest::newRow("tap0") << QStringLiteral("tap0") << plain << QStringLiteral("tunnel");
        QTest::newRow("wg0") << QStringLiteral("wg0") << plain << QStringLiteral("tunnel");
        QTest::newRow("ppp0") << QStringLiteral("ppp0") << plain << QStringLiteral("tunnel");
        QTest::newRow("kernel bridge, no card")
            << QStringLiteral("mybr") << bridge << QStringLiteral("bridge");
        QTest::newRow("kernel bridge holding the card")
            << QStringLiteral("br0") << hostBridge << QStringLiteral("lan");
        QTest::newRow("kernel tun") << QStringLiteral("office") << tun << QStringLiteral("tunnel");
        QTest::newRow("kernel wireguard") << QStringLiteral("corp") << wireguard << QStringLiteral("tunnel");
        QTest::newRow("kernel ppp") << QStringLiteral("dsl") << ppp << QStringLiteral("tunnel");
    }

    void kindOf()
    {
        QFETCH(QString, name);
        QFETCH(LanAddress::KernelFacts, facts);
        QFETCH(QString, kind);
        QCOMPARE(LanAddress::kindName(LanAddress::kindOf(name, facts)), kind);
    }
};

QTEST_APPLESS_MAIN(TestLanAddress)
#include "tst_lanaddress.moc"
