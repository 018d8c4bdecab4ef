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
constexpr quint32 relayAddress = 0xC6120001;     // 198.18.0.1
constexpr quint32 hostA = 0xC6120002;            // 198.18.0.2
constexpr quint32 broadcastA = 0xC61200FF;       // 198.18.0.255
constexpr quint32 limitedBroadcast = 0xFFFFFFFF; // 255.255.255.255
constexpr int interfaceA = 3;

QString t(const QString &rest)
{
    return QStringLiteral("zumzum-chat/v1/") + rest;
}

// One relay on a subnet, with its own link to the shared broker. Its clock is the shared virtual
// time; its timers may run on a scheduler of its own, which a test holds back to stop the relay
// as SIGSTOP would.
struct Relay
{
    Relay(FakeBroker &broker, ManualScheduler &scheduler, const QString &id, const QString &subnet = subnetA,
          RelayLimits limits = {}, Scheduler *timers = nullptr)
    {
        RelayCore::Settings settings;
        settings.subnetKey = subnet;
        settings.ownAddress = relayAddress;
        settings.broadcastAddress = broadcastA;
        settings.interfaceIndex = interfaceA;
        settings.relayId = id;
        settings.site = id;
        link =
            std::make_unique<FakeBrokerLink>(broker, id, t(QStringLiteral("relays/%1/%2").arg(subnet, id)));
        core = std::make_unique<RelayCore>(
            settings, *link, lan, timers ? *timers : scheduler, [&scheduler] { return scheduler.now(); },
            limits);
    }
    void hear(RelayCore::Channel channel, const QByteArray &payload, quint32 source = hostA, int times = 1,
              quint32 destination = broadcastA)
    {
        QList<LanDatagram> datagrams;
        for (int i = 0; i < times; ++i)
            datagrams.append({payload, source, destination, interfaceA});
        core->lanDatagrams(channel, datagrams);
    }
    bool active() const { return core->forwarding(); }

    RecordingLan lan;
    std::unique_ptr<FakeBrokerLink> link;
    std::unique_ptr<RelayCore> core;
};

qsizetype published(const FakeBroker &broker, const QString &topic)
{
    return std::count_if(broker.log.cbegin(), broker.log.cend(),
                         [&](const FakeBroker::Publication &p) { return p.topic == topic; });
}

// The most that any closed span of 1000 ms holds, of times in ascending order.
int busiestSecond(const QList<qint64> &times)
{
    int most = 0;
    qsizetype end = 0;
    for (qsizetype begin = 0; begin < times.size(); ++begin) {
        while (end < times.size() && times.at(end) <= times.at(begin) + 1000)
            ++end;
        most = std::max(most, int(end - begin));
    }
    return most;
}

qsizetype broker_count(const FakeBroker &broker, const QString &topic, const QByteArray &payload)
{
    return std::count_if(broker.log.cbegin(), broker.log.cend(), [&](const FakeBroker::Publication &p) {
        return p.topic == topic && p.payload == payload;
    });
}

// Relays a (forwarding) and b (standing by) on subnet A and r on subnet B. a's timers run on a
// scheduler of their own, which stands still while a is stopped; its clock goes on.
struct Failover
{
    void start()
    {
        a = std::make_unique<Relay>(broker, scheduler, QStringLiteral("a"), subnetA, RelayLimits(), &timers);
        b = std::make_unique<Relay>(broker, scheduler, QStringLiteral("b"));
        remote = std::make_unique<Relay>(broker, scheduler, QStringLiteral("r"), subnetB);
        a->link->connectNow();
        b->link->connectNow();
        remote->link->connectNow();
        advance(2500);
        QVERIFY(a->active() && !b->active() && remote->active());
    }
    void advance(int ms)
    {
        for (int i = 0; i < ms; ++i) {
            scheduler.advance(1);
            if (aRuns)
                timers.advance(1);
        }
    }
    qsizetype beats() const
    {
        return std::count_if(broker.log.cbegin(), broker.log.cend(), [](const FakeBroker::Publication &p) {
            return p.topic == t(QStringLiteral("alive/%1/a").arg(subnetA));
        });
    }

    FakeBroker broker;
    ManualScheduler scheduler;
    ManualScheduler timers;
    bool aRuns = true;
    std::unique_ptr<Relay> a;
    std::unique_ptr<Relay> b;
    std::unique_ptr<Relay> remote;
};

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
        // The allowance comes back only once the first of them is more than a second old.
        scheduler.advance(1000);
        relay.hear(RelayCore::Channel::Chat, line, hostA, 5);
        QCOMPARE(relay.core->counts().forwarded, 2000u);
        scheduler.advance(1);
        relay.hear(RelayCore::Channel::Chat, line, hostA, 5);
        QCOMPARE(relay.core->counts().forwarded, 2005u);
        // A broker that takes nothing more: dropped and counted, not held.
        relay.link->accepting = false;
        relay.hear(RelayCore::Channel::Chat, line, hostA + 2, 3);
        QCOMPARE(relay.core->counts().droppedQueue, 3u);
    }

    // Senders at 1,000 datagrams a second each, from a moment that is no whole second: in every
    // span of one second, wherever it starts, at most 100 of one source and 2,000 in all cross, in
    // both directions. A count per calendar second let twice that through across its turn.
    void rateHoldsInEverySecond_data()
    {
        QTest::addColumn<int>("sources");
        QTest::newRow("one source") << 1;
        QTest::newRow("30 sources") << 30;
    }

    void rateHoldsInEverySecond()
    {
        QFETCH(int, sources);
        FakeBroker broker;
        ManualScheduler scheduler;
        Relay relay(broker, scheduler, QStringLiteral("a"));
        relay.link->connectNow();
        scheduler.advance(2437);
        QVERIFY(relay.active());
        QHash<quint32, QList<qint64>> bySource;
        QList<qint64> all;
        QList<qint64> rebroadcast;
        for (int ms = 0; ms < 3500; ++ms) {
            for (quint32 source = 0; source < quint32(sources); ++source) {
                const quint64 before = relay.core->counts().forwarded;
                relay.hear(RelayCore::Channel::Chat, "Taro\tflood\t198.18.0.2", hostA + source);
                if (relay.core->counts().forwarded > before) {
                    bySource[source].append(scheduler.now());
                    all.append(scheduler.now());
                }
            }
            // From the broker, 3,000 a second.
            for (int remote = 0; remote < 3; ++remote) {
                const qsizetype before = relay.lan.chat.size();
                emit relay.link->messageReceived(t(QStringLiteral("chat/1000/") + subnetB),
                                                 "Jiro\tflood\t198.18.1.2", false);
                if (relay.lan.chat.size() > before)
                    rebroadcast.append(scheduler.now());
            }
            scheduler.advance(1);
        }
        for (auto it = bySource.cbegin(); it != bySource.cend(); ++it)
            QVERIFY2(busiestSecond(it.value()) <= 100,
                     qPrintable(QString::number(busiestSecond(it.value()))));
        const int limit = std::min(100 * sources, 2000);
        QCOMPARE(busiestSecond(all), limit);
        // Not held below the limit either: the full allowance in each of the four seconds begun.
        QCOMPARE(all.size(), 4 * limit);
        QCOMPARE(busiestSecond(rebroadcast), 2000);
        QVERIFY(rebroadcast.size() > 3 * 2000);
    }

    // Only what was sent to everybody crosses: a datagram unicast to the relay's own address, as a
    // selected-only line to it would be, is dropped and counted, on both channels.
    void onlyBroadcastsCross_data()
    {
        QTest::addColumn<quint32>("destination");
        QTest::addColumn<int>("interfaceIndex");
        QTest::addColumn<bool>("crosses");
        QTest::newRow("subnet broadcast") << broadcastA << interfaceA << true;
        QTest::newRow("limited broadcast") << limitedBroadcast << interfaceA << true;
        QTest::newRow("limited broadcast, another interface") << limitedBroadcast << interfaceA + 1 << false;
        QTest::newRow("subnet broadcast, another interface") << broadcastA << interfaceA + 1 << true;
        QTest::newRow("relay's own address") << relayAddress << interfaceA << false;
        QTest::newRow("another subnet's broadcast") << quint32(0xC61201FF) << interfaceA << false;
        QTest::newRow("not reported") << quint32(0) << 0 << false;
    }

    void onlyBroadcastsCross()
    {
        QFETCH(quint32, destination);
        QFETCH(int, interfaceIndex);
        QFETCH(bool, crosses);
        FakeBroker broker;
        ManualScheduler scheduler;
        Relay relay(broker, scheduler, QStringLiteral("a"));
        relay.link->connectNow();
        scheduler.advance(2000);
        QVERIFY(relay.active());
        const QList<std::pair<RelayCore::Channel, QByteArray>> kinds = {
            {RelayCore::Channel::Chat, "Taro\thello\t198.18.0.2"},
            {RelayCore::Channel::Chat, "Taro\tfor you-Only\t198.18.0.2"},
            {RelayCore::Channel::Presence, "1\tTaro\t198.18.0.2"},
        };
        for (const auto &[channel, payload] : kinds)
            relay.core->lanDatagrams(channel, {{payload, hostA, destination, interfaceIndex}});
        const quint64 expected = crosses ? 3 : 0;
        QCOMPARE(relay.core->counts().forwarded, expected);
        QCOMPARE(relay.core->counts().droppedUnicast, 3 - expected);
        QCOMPARE(published(broker, t(QStringLiteral("chat/1000/") + subnetA)), qsizetype(expected ? 2 : 0));
        QCOMPARE(published(broker, t(QStringLiteral("present/%1/198.18.0.2").arg(subnetA))),
                 qsizetype(expected ? 1 : 0));
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

    // An active relay that stops without closing its connection (SIGSTOP, a dead VM): the broker
    // keeps it, and only its heartbeats tell. The standby takes over within lostMs of the last one;
    // the frozen relay, once it runs again, stops before it forwards anything that waited for it,
    // whichever of its events comes first, and then stands by.
    void frozenRelayIsReplaced_data()
    {
        QTest::addColumn<QString>("first");
        QTest::newRow("a datagram heard while frozen") << QStringLiteral("lan");
        QTest::newRow("what the broker sent meanwhile") << QStringLiteral("broker");
        QTest::newRow("its timers") << QStringLiteral("timers");
    }

    void frozenRelayIsReplaced()
    {
        QFETCH(QString, first);
        Failover bed;
        bed.start();
        Relay &a = *bed.a;
        Relay &b = *bed.b;
        // The cost of the heartbeat: one publication a second from the forwarding relay only.
        const qsizetype before = bed.beats();
        bed.advance(60000);
        QCOMPARE(bed.beats() - before, 60);

        QSignalSpy lost(b.core.get(), &RelayCore::peerLost);
        QSignalSpy lapsed(a.core.get(), &RelayCore::leaseLapsed);
        a.link->freeze();
        bed.aRuns = false;
        const qsizetype statusesBefore = broker_count(bed.broker, a.core->statusTopic(), "active a");
        const qint64 frozenAt = bed.scheduler.now();
        while (!b.active() && bed.scheduler.now() - frozenAt < 10000)
            bed.advance(1);
        const qint64 took = bed.scheduler.now() - frozenAt;
        const RelayLimits limits;
        QVERIFY2(took > limits.lostMs - limits.heartbeatMs && took <= limits.lostMs + limits.watchTickMs,
                 qPrintable(QString::number(took)));
        QCOMPARE(lost.size(), 1);
        QCOMPARE(lost.first().first().toString(), QStringLiteral("a"));

        // Meanwhile a line from each side; the frozen relay gets both later.
        const QByteArray fromB("Jiro\tmeanwhile\t198.18.1.2");
        const QByteArray fromA("Taro\tmeanwhile\t198.18.0.2");
        bed.remote->hear(RelayCore::Channel::Chat, fromB, 0xC6120102);
        b.hear(RelayCore::Channel::Chat, fromA);
        bed.advance(500);

        if (first == QLatin1String("lan")) {
            a.hear(RelayCore::Channel::Chat, fromA);
            a.link->thaw();
        } else if (first == QLatin1String("broker")) {
            a.link->thaw();
            a.hear(RelayCore::Channel::Chat, fromA);
        } else {
            bed.timers.advance(int(bed.scheduler.now() - bed.timers.now()));
            a.link->thaw();
            a.hear(RelayCore::Channel::Chat, fromA);
        }
        bed.aRuns = true;
        bed.timers.advance(int(bed.scheduler.now() - bed.timers.now()));
        QCOMPARE(lapsed.size(), 1);
        QVERIFY(a.lan.chat.isEmpty());
        QCOMPARE(b.lan.chat, QList<QByteArray>{fromB});
        QCOMPARE(published(bed.broker, t(QStringLiteral("chat/1000/") + subnetA)), 1);
        QCOMPARE(broker_count(bed.broker, a.core->statusTopic(), "lapsed a"), 1);

        // Its heartbeat came back: it is a candidate again, and stands by; one forwards.
        bed.advance(5000);
        QCOMPARE(bed.broker.retained.value(a.core->statusTopic()), QByteArray("standby a"));
        QCOMPARE(broker_count(bed.broker, a.core->statusTopic(), "active a"), statusesBefore);
        QVERIFY(b.active() && !a.active());
        bed.remote->hear(RelayCore::Channel::Chat, "Jiro\tafter\t198.18.1.2", 0xC6120102);
        QCOMPARE(a.lan.chat.size() + b.lan.chat.size(), 2);
    }

    // A relay that still sends but hears nothing from the broker (its incoming side stalled) stops
    // forwarding and says "lapsed"; the standby takes that as no candidate and takes over, and the
    // lapsed one does not claim the subnet back until the broker answers it again.
    void deafRelayStepsAside()
    {
        Failover bed;
        bed.start();
        Relay &a = *bed.a;
        Relay &b = *bed.b;
        a.link->freeze();
        const qint64 deafAt = bed.scheduler.now();
        while (!b.active() && bed.scheduler.now() - deafAt < 10000)
            bed.advance(1);
        const RelayLimits limits;
        QVERIFY2(bed.scheduler.now() - deafAt <=
                     limits.leaseMs + limits.heartbeatMs + limits.takeoverSettleMs,
                 qPrintable(QString::number(bed.scheduler.now() - deafAt)));
        QVERIFY(!a.active());
        const qsizetype claims = broker_count(bed.broker, a.core->statusTopic(), "active a");
        bed.advance(20000);
        QCOMPARE(broker_count(bed.broker, a.core->statusTopic(), "active a"), claims);
        QVERIFY(b.active());

        a.link->thaw();
        bed.advance(3000);
        QCOMPARE(bed.broker.retained.value(a.core->statusTopic()), QByteArray("standby a"));
        QVERIFY(b.active() && !a.active());
        a.hear(RelayCore::Channel::Chat, "Taro\thi\t198.18.0.2");
        b.hear(RelayCore::Channel::Chat, "Taro\thi\t198.18.0.2");
        QCOMPARE(published(bed.broker, t(QStringLiteral("chat/1000/") + subnetA)), 1);
    }

    // The standby missed the heartbeats (its own incoming side stalled) and claimed the subnet
    // while the forwarding relay was fine: that one says again that it forwards, and the standby,
    // whose id is higher, steps down before its own heartbeat came back to let it forward.
    void takenForLostWhileAlive()
    {
        Failover bed;
        bed.start();
        Relay &a = *bed.a;
        Relay &b = *bed.b;
        QSignalSpy bRoles(b.core.get(), &RelayCore::roleChanged);
        b.link->freeze();
        bed.advance(RelayLimits().lostMs + 1500);
        QCOMPARE(b.core->role(), RelayCore::Role::Active);
        QVERIFY(!b.active());
        QVERIFY(a.active());
        b.link->thaw();
        QCOMPARE(b.core->role(), RelayCore::Role::Standby);
        bed.advance(5000);
        QVERIFY(a.active() && !b.active());
        QVERIFY(bRoles.isEmpty()); // b never forwarded, so its log says nothing
        bed.remote->hear(RelayCore::Channel::Chat, "Jiro\tonce\t198.18.1.2", 0xC6120102);
        QCOMPARE(a.lan.chat.size(), 1);
        QVERIFY(b.lan.chat.isEmpty());
    }

    // The broker restored the status of a relay that ended while it was down: no will ever clears
    // it. A standby takes that relay for lost once it has heard no heartbeat from it.
    void staleActiveStatus()
    {
        FakeBroker broker;
        ManualScheduler scheduler;
        broker.retained.insert(t(QStringLiteral("relays/%1/a").arg(subnetA)), "active gone");
        Relay b(broker, scheduler, QStringLiteral("b"));
        QSignalSpy lost(b.core.get(), &RelayCore::peerLost);
        b.link->connectNow();
        scheduler.advance(RelayLimits().lostMs);
        QVERIFY(!b.active());
        scheduler.advance(RelayLimits().watchTickMs);
        QVERIFY(b.active());
        QCOMPARE(lost.size(), 1);
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
