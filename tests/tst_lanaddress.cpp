#include "net/udpnetwork.h"

#include <QTest>

namespace {

LanInterface lan(const QStringList &addresses, bool loopback = false, bool up = true, bool broadcast = true)
{
    LanInterface interface;
    interface.up = up;
    interface.running = up;
    interface.loopback = loopback;
    interface.canBroadcast = broadcast;
    for (const QString &address : addresses)
        interface.addresses.append(QHostAddress(address));
    return interface;
}

} // namespace

// The host name resolves to 127.0.1.1 on Debian, and an idle container bridge looks up and
// running: neither may become the address peers see.
class TestLanAddress : public QObject
{
    Q_OBJECT

private slots:
    void prefersTheDefaultRouteInterface()
    {
        const QList<LanInterface> interfaces = {lan({QStringLiteral("127.0.0.1")}, true),
                                                lan({QStringLiteral("172.17.0.1")}),
                                                lan({QStringLiteral("fe80::1"), QStringLiteral("192.168.1.23")})};
        const auto chosen = UdpNetwork::chooseLanAddress(interfaces, QHostAddress(QStringLiteral("192.168.1.23")));
        QVERIFY(chosen);
        QCOMPARE(chosen->toString(), QStringLiteral("192.168.1.23"));
    }

    void fallsBackToTheFirstUsableInterface()
    {
        const QList<LanInterface> interfaces = {lan({QStringLiteral("127.0.0.1")}, true),
                                                lan({QStringLiteral("10.1.1.1")}, false, false),
                                                lan({QStringLiteral("10.2.2.2")}, false, true, false),
                                                lan({QStringLiteral("fe80::2")}),
                                                lan({QStringLiteral("198.18.0.7")})};
        const auto chosen = UdpNetwork::chooseLanAddress(interfaces, std::nullopt);
        QVERIFY(chosen);
        QCOMPARE(chosen->toString(), QStringLiteral("198.18.0.7"));
    }

    void noUsableInterface()
    {
        QVERIFY(!UdpNetwork::chooseLanAddress({lan({QStringLiteral("127.0.0.1")}, true)}, std::nullopt));
        QVERIFY(!UdpNetwork::chooseLanAddress({}, std::nullopt));
    }
};

QTEST_APPLESS_MAIN(TestLanAddress)
#include "tst_lanaddress.moc"
