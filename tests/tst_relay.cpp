#include "fakebroker.h"
#include "manualscheduler.h"
#include "relay/relayconfig.h"
#include "relay/relaycore.h"

#include <QSignalSpy>
#include <QTest>
#include <memory>

namespace {

const QString subnetA = QStringLiteral("198.18.0.255-1000");
const QString subnetB = QStringLiteral("198.18.1.255-1000");
constexpr quint32 relayAddress = 0xC6120001; // 198.18.0.1
constexpr quint32 hostA = 0xC6120002;        // 198.18.0.2

QString t(const QString &rest)
{
    return QStringLiteral("zumzum-chat/v1/") + rest;
}

// One relay on a subnet, with its own link to the shared broker.
struct Relay
{
    Relay(FakeBroker &broker, ManualScheduler &scheduler, const QString &id, const QString &subnet = subnetA,
          RelayLimits limits = {})
    {
        RelayCore::Settings settings;
        settings.subnetKey = subnet;
        settings.ownAddress = relayAddress;
        settings.relayId = id;
        settings.site = id;
        link =
            std::make_unique<FakeBrokerLink>(broker, id, t(QStringLiteral("relays/%1/%2").arg(subnet, id)));
        core = std::make_unique<RelayCore>(settings, *link, lan, scheduler, limits);
    }
    void hear(RelayCore::Channel channel, const QByteArray &payload, quint32 source = hostA, int times = 1)
    {
        QList<QByteArray> payloads;
        QList<quint32> sources;
        for (int i = 0; i < times; ++i) {
            payloads.append(payload);
            sources.append(source);
        }
        core->lanDatagrams(channel, payloads, sources);
    }
    bool active() const { return core->role() == RelayCore::Role::Active; }

    RecordingLan lan;
    std::unique_ptr<FakeBrokerLink> link;
    std::unique_ptr<RelayCore> core;
};

qsizetype published(const FakeBroker &broker, const QString &topic)
{
    return std::count_if(broker.log.cbegin(), broker.log.cend(),
                         [&](const FakeBroker::Publication &p) { return p.topic == topic; });
}

} // namespace

class TestRelay : public QObject
{
    Q_OBJECT

private slots:
    void formatCheck_data()
    {
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<bool>("presence");
        QTest::addColumn<bool>("chat");
        QTest::newRow("join") << QByteArray("1\tTaro\t198.18.0.2") << true << true;
        QTest::newRow("leave") << QByteArray("2\tTaro\t198.18.0.2") << true << true;
        QTest::newRow("other kind") << QByteArray("3\tTaro\t198.18.0.2") << false << true;
        QTest::newRow("kind with blank") << QByteArray("1 \tTaro\t198.18.0.2") << false << true;
        QTest::newRow("more fields") << QByteArray("1\tTaro\t198.18.0.2\tx") << true << true;
        QTest::newRow("empty fields") << QByteArray("1\t\t") << true << true;
        QTest::newRow("two fields") << QByteArray("Taro\thello") << false << false;
        QTest::newRow("empty") << QByteArray() << false << false;
        QTest::newRow("code page 932 line")
            << QByteArray("\x91\xbe\x98\x59\t\x82\xb1\x82\xf1\t198.18.0.2") << false << true;
    }

    void formatCheck()
    {
        QFETCH(QByteArray, payload);
        QFETCH(bool, presence);
        QFETCH(bool, chat);
        QCOMPARE(RelayCore::isValidPresence(payload), presence);
        QCOMPARE(RelayCore::isValidChat(payload), chat);
    }

    // Both directions drop what is not a datagram of the chat, and count it.
    void malformedIsDroppedBothWays()
    {
        FakeBroker broker;
        ManualScheduler scheduler;
        Relay relay(broker, scheduler, QStringLiteral("a"));
        relay.link->connectNow();
        scheduler.advance(2000);
        QVERIFY(relay.active());
        relay.hear(RelayCore::Channel::Presence, "9\tTaro\t198.18.0.2");
        relay.hear(RelayCore::Channel::Chat, "no tabs");
        emit relay.link->messageReceived(t(QStringLiteral("presence/") + subnetB), "x\ty\tz", false);
        emit relay.link->messageReceived(t(QStringLiteral("chat/1000/") + subnetB), "only\tone", false);
        QCOMPARE(relay.core->counts().droppedFormat, 4u);
        QCOMPARE(relay.core->counts().forwarded, 0u);
        QVERIFY(relay.lan.presence.isEmpty() && relay.lan.chat.isEmpty());
    }

    void rateBounds()
    {
        FakeBroker broker;
        ManualScheduler scheduler;
        Relay relay(broker, scheduler, QStringLiteral("a"));
        relay.link->connectNow();
        scheduler.advance(2000);
        const QByteArray line("Taro\thello\t198.18.0.2");
        // A flood from one host takes its own share only: the others' lines still cross.
        relay.hear(RelayCore::Channel::Chat, line, hostA, 150);
        relay.hear(RelayCore::Channel::Chat, "Jiro\thi\t198.18.0.3", hostA + 1);
        QCOMPARE(relay.core->counts().forwarded, 101u);
        QCOMPARE(relay.core->counts().droppedRate, 50u);
        // In all, at most 2,000 a second.
        for (quint32 host = 10; host < 40; ++host)
            relay.hear(RelayCore::Channel::Chat, line, 0xC6120000 + host, 100);
        QCOMPARE(relay.core->counts().forwarded, 2000u);
        // A new second, a new allowance.
        scheduler.advance(1000);
        relay.hear(RelayCore::Channel::Chat, line, hostA, 5);
        QCOMPARE(relay.core->counts().forwarded, 2005u);
        // A broker that takes nothing more: dropped and counted, not held.
        relay.link->accepting = false;
        relay.hear(RelayCore::Channel::Chat, line, hostA + 2, 3);
        QCOMPARE(relay.core->counts().droppedQueue, 3u);
    }

    void loopRules()
    {
        FakeBroker broker;
        ManualScheduler scheduler;
        Relay relay(broker, scheduler, QStringLiteral("a"));
        relay.link->connectNow();
        scheduler.advance(2000);
        // Its own rebroadcast, heard back from the subnet, goes no further.
        const QByteArray line("Jiro\tfrom B\t198.18.1.2");
        emit relay.link->messageReceived(t(QStringLiteral("chat/1000/") + subnetB), line, false);
        QCOMPARE(relay.lan.chat, QList<QByteArray>{line});
        relay.hear(RelayCore::Channel::Chat, line, relayAddress);
        QCOMPARE(relay.core->counts().droppedLoop, 1u);
        QCOMPARE(published(broker, t(QStringLiteral("chat/1000/") + subnetA)), 0);
        // What carries its own subnet key is never sent back onto the subnet.
        emit relay.link->messageReceived(t(QStringLiteral("presence/") + subnetA), "1\tTaro\t198.18.0.2",
                                         false);
        // Nor what the relay of another chat port on the same subnet publishes: both would send
        // each other's notices back and forth.
        emit relay.link->messageReceived(t(QStringLiteral("presence/198.18.0.255-2000")), "1\tJo\t198.18.0.7",
                                         false);
        QVERIFY(relay.lan.presence.isEmpty());
        // Chat lines of another chat port are not for this subnet's instances.
        emit relay.link->messageReceived(t(QStringLiteral("chat/2000/198.18.1.255-2000")), line, false);
        QCOMPARE(relay.lan.chat.size(), 1);
    }

    void standbyDecision_data()
    {
        QTest::addColumn<bool>("active");
        QTest::addColumn<QString>("others"); // id=status,...
        QTest::addColumn<bool>("expected");
        QTest::newRow("alone") << false << QString() << true;
        QTest::newRow("lower standby") << false << QStringLiteral("a=standby") << false;
        QTest::newRow("higher standby") << false << QStringLiteral("c=standby") << true;
        QTest::newRow("higher active, standing by") << false << QStringLiteral("c=active") << false;
        QTest::newRow("higher active, both forward") << true << QStringLiteral("c=active") << true;
        QTest::newRow("lower active, both forward") << true << QStringLiteral("a=active,c=standby") << false;
        QTest::newRow("active keeps its place") << true << QStringLiteral("a=standby") << true;
    }

    void standbyDecision()
    {
        QFETCH(bool, active);
        QFETCH(QString, others);
        QFETCH(bool, expected);
        QHash<QString, QString> statuses;
        for (const QString &other : others.split(QLatin1Char(','), Qt::SkipEmptyParts))
            statuses.insert(other.section(QLatin1Char('='), 0, 0), other.section(QLatin1Char('='), 1));
        const auto role = RelayCore::decide(
            QStringLiteral("b"), active ? RelayCore::Role::Active : RelayCore::Role::Standby, statuses);
        QCOMPARE(role == RelayCore::Role::Active, expected);
    }

    // Two relays for one subnet that start together: one forwards, the other takes over when the
    // first is lost, and a line from another subnet reaches the subnet once.
    void standbyTakesOver()
    {
        FakeBroker broker;
        ManualScheduler scheduler;
        Relay a(broker, scheduler, QStringLiteral("a"));
        Relay b(broker, scheduler, QStringLiteral("b"));
        Relay remote(broker, scheduler, QStringLiteral("r"), subnetB);
        QSignalSpy standby(b.core.get(), &RelayCore::roleChanged);
        b.link->connectNow();
        a.link->connectNow();
        remote.link->connectNow();
        scheduler.advance(2000);
        QVERIFY(a.active());
        QVERIFY(!b.active());
        // Standing by is said once the relays have settled, though the role did not change.
        QCOMPARE(standby.size(), 1);
        QVERIFY(remote.active());
        remote.hear(RelayCore::Channel::Chat, "Jiro\thello\t198.18.1.2", 0xC6120102);
        QCOMPARE(a.lan.chat.size() + b.lan.chat.size(), 1);
        // Only the forwarding relay publishes what the subnet says.
        a.hear(RelayCore::Channel::Chat, "Taro\thi\t198.18.0.2");
        b.hear(RelayCore::Channel::Chat, "Taro\thi\t198.18.0.2");
        QCOMPARE(remote.lan.chat.size(), 1);

        a.link->drop();
        QVERIFY(!a.active());
        scheduler.advance(1000);
        QVERIFY(b.active());
        remote.hear(RelayCore::Channel::Chat, "Jiro\tagain\t198.18.1.2", 0xC6120102);
        QCOMPARE(b.lan.chat.size(), 1);
        QCOMPARE(a.lan.chat.size(), 1);

        // Back again, a stands by although its id is lower: the one that forwards keeps doing so.
        a.link->connectNow();
        scheduler.advance(5000);
        QVERIFY(!a.active());
        QVERIFY(b.active());
        QCOMPARE(broker.retained.value(a.core->statusTopic()), QByteArray("standby a"));
    }

    // Two that both became active (neither saw the other in time): the higher id steps down at once.
    void twoActiveResolveAtOnce()
    {
        FakeBroker broker;
        ManualScheduler scheduler;
        Relay a(broker, scheduler, QStringLiteral("a"));
        Relay b(broker, scheduler, QStringLiteral("b"));
        b.link->connectNow();
        scheduler.advance(2000);
        QVERIFY(b.active());
        a.link->connectNow();
        emit b.link->messageReceived(a.core->statusTopic(), "active a", false);
        QVERIFY(!b.active());
    }

    void retainedPresence()
    {
        FakeBroker broker;
        ManualScheduler scheduler;
        RelayLimits limits;
        limits.addressesPerSubnet = 3;
        // What the broker kept from another subnet, more than the bound.
        for (int host = 1; host <= 5; ++host)
            broker.retained.insert(t(QStringLiteral("present/%1/198.18.1.%2").arg(subnetB).arg(host)),
                                   QStringLiteral("1\tP%1\t198.18.1.%1").arg(host).toUtf8());
        Relay relay(broker, scheduler, QStringLiteral("a"), subnetA, limits);
        relay.link->connectNow();
        QCOMPARE(relay.core->retainedCount(), 3);
        scheduler.advance(2000);
        QVERIFY(relay.active());

        // Joins of this subnet are kept, up to the bound; a leave clears its address.
        for (int host = 2; host <= 5; ++host)
            relay.hear(RelayCore::Channel::Presence, QStringLiteral("1\tQ\t198.18.0.%1").arg(host).toUtf8(),
                       0xC6120000 + quint32(host));
        const QString kept = t(QStringLiteral("present/%1/198.18.0.2").arg(subnetA));
        QCOMPARE(broker.retained.value(kept), QByteArray("1\tQ\t198.18.0.2"));
        QCOMPARE(relay.core->ownRetainedCount(), 3);
        QVERIFY(!broker.retained.contains(t(QStringLiteral("present/%1/198.18.0.5").arg(subnetA))));
        relay.hear(RelayCore::Channel::Presence, "2\tQ\t198.18.0.2");
        QVERIFY(!broker.retained.contains(kept));
        QCOMPARE(relay.core->ownRetainedCount(), 2);
        // A field 2 that is not an address never becomes a topic.
        relay.hear(RelayCore::Channel::Presence, "1\tX\ta/b/#", 0xC6120009);
        QCOMPARE(relay.core->ownRetainedCount(), 2);
        QCOMPARE(relay.core->counts().forwarded, 6u);

        // A leave from the other subnet forgets the address there.
        emit relay.link->messageReceived(t(QStringLiteral("present/%1/198.18.1.1").arg(subnetB)),
                                         QByteArray(), false);
        QCOMPARE(relay.core->retainedCount(), 2);
    }

    // A relay that (re)connects sends what the broker kept, paced, and only once it forwards.
    void rebroadcastIsPaced()
    {
        FakeBroker broker;
        ManualScheduler scheduler;
        for (int host = 1; host <= 100; ++host)
            broker.retained.insert(t(QStringLiteral("present/%1/198.18.1.%2").arg(subnetB).arg(host)),
                                   QStringLiteral("1\tP\t198.18.1.%1").arg(host).toUtf8());
        Relay relay(broker, scheduler, QStringLiteral("a"));
        relay.link->connectNow();
        scheduler.advance(1950);
        QVERIFY(relay.lan.presence.isEmpty());
        scheduler.advance(50);
        QVERIFY(relay.active());
        scheduler.advance(50);
        QCOMPARE(relay.lan.presence.size(), 10);
        scheduler.advance(200);
        QCOMPARE(relay.lan.presence.size(), 50);
        scheduler.advance(300);
        QCOMPARE(relay.lan.presence.size(), 100);
        QCOMPARE(relay.core->pacedPending(), 0);

        // Lost before the end: nothing more goes out, and the next connection starts over.
        relay.link->drop();
        relay.link->connectNow();
        scheduler.advance(2050);
        relay.link->drop();
        const qsizetype sent = relay.lan.presence.size();
        scheduler.advance(1000);
        QCOMPARE(relay.lan.presence.size(), sent);
        QCOMPARE(sent, 110);
    }

    void configuration()
    {
        RelayConfig::Settings s;
        QCOMPARE(
            RelayConfig::applyFile(s, QStringLiteral("# comment\n broker = mqtts://b.example:9999 # here\n"
                                                     "chat-port=2000\nallow-plaintext = no\n\n")),
            std::nullopt);
        QCOMPARE(s.chatPort, QStringLiteral("2000"));
        QVERIFY(RelayConfig::applyFile(s, QStringLiteral("\n\nbrokr = x"))
                    .value()
                    .startsWith(QStringLiteral("line 3")));
        QVERIFY(RelayConfig::applyFile(s, QStringLiteral("stats-interval = 0")).has_value());
        // The command line wins over the file.
        QCOMPARE(
            RelayConfig::applyArguments(s, {QStringLiteral("--chat-port"), QStringLiteral("3000"),
                                            QStringLiteral("--site=floor 2"), QStringLiteral("--check")}),
            std::nullopt);
        QCOMPARE(s.chatPort, QStringLiteral("3000"));
        QVERIFY(s.check);
        QVERIFY(RelayConfig::applyArguments(s, {QStringLiteral("--broker")}).has_value());
        QCOMPARE(RelayConfig::topicLevel(QStringLiteral("floor 2/#+")), QStringLiteral("floor_2___"));

        QString error;
        const auto tls = RelayConfig::parseBroker(QStringLiteral("mqtts://b.example"), &error);
        QVERIFY(tls && tls->tls && tls->port == 8883 && tls->host == QStringLiteral("b.example"));
        const auto plain = RelayConfig::parseBroker(QStringLiteral("mqtt://[::1]:1884"), &error);
        QVERIFY(plain && !plain->tls && plain->port == 1884 && RelayConfig::isLocalHost(plain->host));
        QVERIFY(RelayConfig::isLocalHost(QStringLiteral("127.3.0.1")));
        QVERIFY(!RelayConfig::isLocalHost(QStringLiteral("198.18.0.1")));
        QVERIFY(!RelayConfig::isLocalHost(QStringLiteral("localhost.example.org")));
        QVERIFY(!RelayConfig::parseBroker(QStringLiteral("http://b.example"), &error));
        QVERIFY(!RelayConfig::parseBroker(QStringLiteral("mqtts://user:pw@b.example"), &error));

        const auto credentials =
            RelayConfig::parseCredentials(QStringLiteral("username = relay\npassword = a#b=c\n"), &error);
        QVERIFY(credentials && credentials->password == QStringLiteral("a#b=c"));
        QVERIFY(!RelayConfig::parseCredentials(QStringLiteral("username = relay\n"), &error));
    }
};

QTEST_GUILESS_MAIN(TestRelay)
#include "tst_relay.moc"
