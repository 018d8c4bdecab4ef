#include "testsupport.h"

#include "net/chatsession.h"
#include "net/networkfollower.h"
#include "net/participants.h"

#include <QTest>

namespace {

QString address(int last)
{
    return QStringLiteral("198.18.0.%1").arg(last);
}

QString entry(int last)
{
    return QStringLiteral("host%1\t\t").arg(last) + address(last);
}

// A on .11 with B on .2 and C on .3, all listing each other, nothing sent yet.
struct Lan : LanWithInstances
{
    Lan() : LanWithInstances({11, 2, 3})
    {
        letAnswersGo();
        lan.clearSent();
    }
    Instance &operator[](int index) { return *instances.at(index); }

    void letAnswersGo() { time.advance(Participants::answerDelayMs(QStringLiteral("198.18.0.255"))); }
    // The watcher of instance `index` reports a change and the follower has just looked.
    void change(int index)
    {
        instances.at(index)->networkWatcher.fireChange();
        time.advance(NetworkFollower::quietMs);
    }
    QStringList presenceFrom(const QString &from) const { return sentTexts(lan, 50011, from); }
};

QString lastLogLine(Instance &instance)
{
    const QStringList log = instance.chatLog();
    return log.isEmpty() ? QString() : log.last();
}

} // namespace

class TestNetFollow : public QObject
{
    Q_OBJECT

private slots:
    // The system bus is contacted only once the join notice is out.
    void watcherStartsAfterTheJoinNotice()
    {
        LanWithInstance fixture(address(11), QStringLiteral("host11"));
        auto &[lan, time, a] = fixture;
        bool startedAtJoin = true;
        lan.setSendObserver([&](const VirtualLan::Datagram &datagram) {
            if (datagram.payload.startsWith("1\t"))
                startedAtJoin = a.networkWatcher.started;
        });
        QVERIFY(a.start());
        QVERIFY(!startedAtJoin);
        QVERIFY(a.networkWatcher.started);
    }

    // The move: the old identity leaves, the new one is announced, every list follows.
    void addressChangeIsFollowed()
    {
        Lan net;
        Instance &a = net[0];
        a.host().setAddress(address(31));
        net.change(0);

        // Only the sends of the move itself, the leave of the old identity first.
        QCOMPARE(net.presenceFrom(address(31)), QStringList({QStringLiteral("2\thost11\t198.18.0.11"),
                                                             QStringLiteral("2\thost11\t198.18.0.31"),
                                                             QStringLiteral("1\thost11\t198.18.0.31")}));
        for (const auto &datagram : net.lan.sentTo(50011))
            QCOMPARE(datagram.to.toString(), lanBroadcast);
        QCOMPARE(a.record().localIp, address(31));
        QCOMPARE(a.record().broadcastAddress, lanBroadcast);
        QCOMPARE(lastLogLine(a),
                 QStringLiteral("ネットワークが変わりました（198.18.0.11 → 198.18.0.31）\t14:03:21"));
        // Emptied at the move; the answers fill it again.
        QVERIFY(a.participants().isEmpty());
        net.letAnswersGo();
        QCOMPARE(a.participants().size(), 2);
        for (int peer : {1, 2}) {
            const QStringList list = net[peer].participants();
            QCOMPARE(list.count(entry(11).replace(address(11), address(31))), 1);
            QVERIFY(!list.contains(entry(11)));
        }
        // The user's own lines carry the new address; lines to it reach it there.
        net.lan.clearSent();
        QVERIFY(a.session()->s_sendData(QStringLiteral("hi")).isEmpty());
        QCOMPARE(sentTexts(net.lan, 1000), QStringList(QStringLiteral("host11\thi\t198.18.0.31")));
        const int row = net[1].session()->f_listChk(address(31));
        QVERIFY(net[1].session()->s_listSend(QStringLiteral("psst"), {row}).isEmpty());
        QTest::qWait(0);
        QCOMPARE(lastLogLine(a), QStringLiteral("host2>psst-Only\t14:03:21"));

        // The answer to a newcomer waits for the new last number: 310 ms.
        net.lan.clearSent();
        Instance d(net.lan, net.time, address(40), QStringLiteral("host40"));
        QVERIFY(d.start());
        QTest::qWait(0);
        net.time.advance(309);
        QVERIFY(!net.presenceFrom(address(31)).contains(QStringLiteral("1\thost11\t198.18.0.31")));
        net.time.advance(1);
        QCOMPARE(net.presenceFrom(address(31)), QStringList(QStringLiteral("1\thost11\t198.18.0.31")));
    }

    // Notices that change nothing send nothing; a burst of them is looked at once, and no later
    // than the bound.
    void unchangedAddressSendsNothing()
    {
        Lan net;
        const QStringList log = net[0].chatLog();
        for (int i = 0; i < 20; ++i) {
            net[0].networkWatcher.fireChange();
            net.time.advance(NetworkFollower::quietMs - 100);
        }
        QVERIFY(net.lan.sent().isEmpty());
        QCOMPARE(net[0].chatLog(), log);
        QCOMPARE(net[0].participants().size(), 2);

        // A move in the middle of an endless burst is followed within the bound.
        net[0].host().setAddress(address(31));
        net[0].networkWatcher.fireChange();
        for (int elapsed = 0; elapsed < NetworkFollower::boundMs; elapsed += NetworkFollower::quietMs - 100) {
            net.time.advance(NetworkFollower::quietMs - 100);
            net[0].networkWatcher.fireChange();
        }
        QCOMPARE(net[0].record().localIp, address(31));
    }

    void addressGoneAndBack()
    {
        Lan net;
        Instance &a = net[0];
        a.host().setNetworkAvailable(false);
        net.change(0);
        QVERIFY(!a.session()->hasAddress());
        QCOMPARE(lastLogLine(a),
                 QStringLiteral("ネットワークが変わりました（198.18.0.11 → なし）\t14:03:21"));
        QVERIFY(a.participants().isEmpty());
        // The window and the sockets stay; sends fail.
        QVERIFY(!a.session()->s_sendData(QStringLiteral("anyone?")).isEmpty());
        QCOMPARE(a.record().localIp, address(11));
        // Another notice while offline changes nothing.
        net.change(0);
        QCOMPARE(a.chatLog().count(lastLogLine(a)), 1);

        // Back on the same address: just the announcement.
        a.host().setNetworkAvailable(true);
        net.change(0);
        QCOMPARE(lastLogLine(a),
                 QStringLiteral("ネットワークが変わりました（なし → 198.18.0.11）\t14:03:21"));
        QCOMPARE(net.presenceFrom(address(11)), QStringList({QStringLiteral("2\thost11\t198.18.0.11"),
                                                             QStringLiteral("1\thost11\t198.18.0.11")}));
        net.letAnswersGo();
        QCOMPARE(a.participants().size(), 2);

        // Gone, then back on another address: the identity peers still list is dropped then.
        a.host().setNetworkAvailable(false);
        net.change(0);
        net.lan.clearSent();
        a.host().setAddress(address(31));
        a.host().setNetworkAvailable(true);
        net.change(0);
        QCOMPARE(lastLogLine(a),
                 QStringLiteral("ネットワークが変わりました（なし → 198.18.0.31）\t14:03:21"));
        QCOMPARE(net.presenceFrom(address(31)).first(), QStringLiteral("2\thost11\t198.18.0.11"));
        net.letAnswersGo();
        QVERIFY(!net[1].participants().contains(entry(11)));
        QCOMPARE(a.participants().size(), 2);
    }

    // After waking, the list is rebuilt: a peer that vanished while this one slept goes.
    void resumeAnnouncesAgain()
    {
        Lan net;
        Instance &a = net[0];
        net[2].host().setNetworkAvailable(false);
        const int logSize = a.chatLog().size();
        a.networkWatcher.fireResume();
        net.time.advance(NetworkFollower::quietMs);
        QCOMPARE(net.presenceFrom(address(11)), QStringList({QStringLiteral("2\thost11\t198.18.0.11"),
                                                             QStringLiteral("1\thost11\t198.18.0.11")}));
        net.letAnswersGo();
        QCOMPARE(a.participants(), QStringList(entry(2)));
        // Nothing changed on this machine: no network line, only B's join again.
        QCOMPARE(a.chatLog().mid(logSize), QStringList(QStringLiteral("host2さんが参加しました\t14:03:21")));

        // A plain notice afterwards sends nothing more.
        net.lan.clearSent();
        net.change(0);
        QVERIFY(net.lan.sent().isEmpty());
    }
};

QTEST_MAIN(TestNetFollow)
#include "tst_netfollow.moc"
