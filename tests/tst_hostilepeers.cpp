#include "app/settingsrecord.h"
#include "base/cp932.h"
#include "fixedclock.h"
#include "manualscheduler.h"
#include "net/chatsession.h"
#include "net/datagram.h"
#include "net/participants.h"
#include "virtuallan.h"

#include <QRandomGenerator>
#include <QTest>

namespace {

// One session on the virtual LAN at 198.18.0.1, and a peer at 198.18.0.2 that sends anything.
struct Lan
{
    static SettingsRecord ownRecord()
    {
        SettingsRecord record;
        record.userName = QStringLiteral("own");
        record.subnetMask = QStringLiteral("255.255.255.0");
        record.chatPort = QStringLiteral("1000");
        return record;
    }

    explicit Lan(SessionLimits limits = {})
        : own(lan.addHost(QStringLiteral("198.18.0.1"), QStringLiteral("own"))),
          peerHost(lan.addHost(QStringLiteral("198.18.0.2"), QStringLiteral("peer"))),
          peer(peerHost->createSocket()), record(ownRecord()), session(record, *own, clock, time, limits)
    {
        clock.time = QTime(12, 0, 0);
        if (session.open())
            qFatal("the session did not open");
    }

    void send(const QList<QString> &payloads, quint16 port)
    {
        for (const QString &payload : payloads)
            peer->sendTo(Cp932::encode(payload), QHostAddress(QStringLiteral("198.18.0.1")), port);
        QCoreApplication::sendPostedEvents();
    }

    void joins(int from, int count)
    {
        QList<QString> payloads;
        for (int i = from; i < from + count; ++i)
            payloads.append(Datagram::joinNotice(QStringLiteral("p%1").arg(i), fakeAddress(i)));
        send(payloads, Datagram::presencePort);
    }

    static QString fakeAddress(int i) { return QStringLiteral("198.19.%1.%2").arg(i / 256).arg(i % 256); }

    VirtualLan lan;
    std::unique_ptr<VirtualHost> own;
    std::unique_ptr<VirtualHost> peerHost;
    std::unique_ptr<DatagramSocket> peer;
    SettingsRecord record;
    FixedClock clock;
    ManualScheduler time;
    ChatSession session;
};

} // namespace

// What a careless or hostile peer can make one instance do: nothing unbounded, nothing wrong.
class TestHostilePeers : public QObject
{
    Q_OBJECT

private slots:
    // The address index must follow every removal, or lines go to the wrong participant.
    void participantIndexFollowsJoinsAndLeaves()
    {
        ParticipantListModel model;
        QStringList addresses;
        QRandomGenerator random(7);
        for (int step = 0; step < 3000; ++step) {
            const QString address = QStringLiteral("198.18.0.%1").arg(random.bounded(200));
            if (random.bounded(3) == 0 || model.f_listChk(address) >= 0) {
                const int row = model.remove(address);
                QCOMPARE(row, int(addresses.indexOf(address)));
                addresses.removeAll(address);
            } else {
                model.add(QStringLiteral("n"), address);
                addresses.append(address);
            }
            if (step % 97 == 0) {
                for (int row = 0; row < addresses.size(); ++row) {
                    QCOMPARE(model.f_listChk(addresses.at(row)), row);
                    QCOMPARE(model.address(row), addresses.at(row));
                    QCOMPARE(Participants::address(model.at(row)), addresses.at(row));
                }
            }
        }
        QCOMPARE(model.size(), int(addresses.size()));
    }

    // 65,536 participants at most: the most addresses a 255.255.0.0 mask spans.
    void fullParticipantListIgnoresJoinsUntilSomeoneLeaves()
    {
        Lan lan;
        const int limit = SessionLimits().participants;
        QCOMPARE(limit, 65536);
        lan.joins(0, limit + 1);
        QCOMPARE(lan.session.participants()->size(), limit);
        QCOMPARE(lan.session.f_listChk(Lan::fakeAddress(limit)), -1);
        const int logged = lan.session.chatLog()->size();
        QCOMPARE(logged, limit);

        // One answer to the flood, on a precise timer: a coarse one may fire early, out of the
        // order of the addresses. Once it has gone, a join to the full list gets none.
        QCOMPARE(lan.time.activeTimerTypes(), QList<Qt::TimerType>{Qt::PreciseTimer});
        lan.time.advance(Participants::answerDelayMs(QStringLiteral("198.18.0.1")));
        QVERIFY(!lan.session.answerScheduled());
        lan.joins(limit + 5, 1);
        QVERIFY(!lan.session.answerScheduled());
        QCOMPARE(lan.session.chatLog()->size(), logged);

        lan.send({Datagram::leaveNotice(QStringLiteral("p3"), Lan::fakeAddress(3))}, Datagram::presencePort);
        lan.joins(limit + 5, 1);
        QCOMPARE(lan.session.participants()->size(), limit);
        QCOMPARE(lan.session.f_listChk(Lan::fakeAddress(limit + 5)), limit - 1);
        QVERIFY(lan.session.answerScheduled());
    }

    // Long names cannot fill memory through a list that is not yet full by count.
    void participantNamesAreBoundedToo()
    {
        Lan lan({.participants = 1000, .participantCharacters = 100000});
        const QString longName(60000, QLatin1Char('n'));
        lan.send({Datagram::joinNotice(longName, QStringLiteral("198.19.0.1")),
                  Datagram::joinNotice(longName, QStringLiteral("198.19.0.2")),
                  Datagram::joinNotice(QStringLiteral("short"), QStringLiteral("198.19.0.3"))},
                 Datagram::presencePort);
        QCOMPARE(lan.session.participants()->size(), 2);
        QVERIFY(lan.session.participants()->characters() <= 100000);
        QCOMPARE(lan.session.f_listChk(QStringLiteral("198.19.0.2")), -1);
        QCOMPARE(lan.session.f_listChk(QStringLiteral("198.19.0.3")), 1);
    }

    // The newest 200,000 entries stay, the oldest go first.
    void chatLogKeepsTheNewestEntries()
    {
        Lan lan;
        const int limit = SessionLimits().logEntries;
        QCOMPARE(limit, 200000);
        QList<QString> lines;
        for (int i = 1; i <= limit + 3; ++i)
            lines.append(
                Datagram::chatLine(QStringLiteral("b"), QString::number(i), QStringLiteral("198.18.0.2")));
        lan.send(lines.first(limit - 1), 1000);
        QCOMPARE(lan.session.chatLog()->size(), limit - 1);
        lan.send(lines.mid(limit - 1), 1000);
        QCOMPARE(lan.session.chatLog()->size(), limit);
        QCOMPARE(lan.session.chatLog()->at(0), QStringLiteral("b>4\t12:00:00"));
        QCOMPARE(lan.session.chatLog()->at(limit - 1), QStringLiteral("b>%1\t12:00:00").arg(limit + 3));
    }

    void chatLogIsBoundedInCharactersToo()
    {
        Lan lan({.logEntries = 1000, .logCharacters = 200000});
        const QString longText(60000, QLatin1Char('x'));
        QList<QString> lines;
        for (int i = 0; i < 5; ++i)
            lines.append(Datagram::chatLine(QString::number(i), longText, QStringLiteral("198.18.0.2")));
        lan.send(lines, 1000);
        const EntryListModel &log = *lan.session.chatLog();
        QCOMPARE(log.size(), 3);
        QVERIFY(log.characters() <= 200000);
        QVERIFY(log.at(0).startsWith(QStringLiteral("2>")));
        qsizetype sum = 0;
        for (const QString &entry : log.entries())
            sum += entry.size();
        QCOMPARE(log.characters(), sum);
    }
};

QTEST_GUILESS_MAIN(TestHostilePeers)
#include "tst_hostilepeers.moc"
