#include "manualscheduler.h"
#include "net/entrylistmodel.h"
#include "net/participantlistmodel.h"
#include "ui/announcer.h"

#include <QSignalSpy>
#include <QTest>

// What a screen reader is told of new lines, and how the lists' rows read to it.
class TestAnnouncer : public QObject
{
    Q_OBJECT

private slots:
    void quietLineIsSpokenAtOnce()
    {
        ManualScheduler time;
        Announcer announcer(time);
        QSignalSpy spoken(&announcer, &Announcer::announce);
        announcer.lineArrived(QStringLiteral("佐藤: こんにちは"));
        QCOMPARE(spoken.size(), 1);
        QCOMPARE(spoken.at(0).at(0).toString(), QStringLiteral("佐藤: こんにちは"));
        // Nothing waits: the end of the second says nothing more.
        time.advance(Announcer::intervalMs * 3);
        QCOMPARE(spoken.size(), 1);
        // A line after a quiet second is again spoken at once.
        announcer.lineArrived(QStringLiteral("佐藤: また"));
        QCOMPARE(spoken.size(), 2);
    }

    // A burst is merged into its count and its newest line at the end of the second; a single
    // waiting line is spoken as it is, not as "1 件の新着".
    void burstIsMerged()
    {
        ManualScheduler time;
        Announcer announcer(time);
        QSignalSpy spoken(&announcer, &Announcer::announce);
        announcer.lineArrived(QStringLiteral("a: 1"));
        time.advance(100);
        announcer.lineArrived(QStringLiteral("a: 2"));
        announcer.lineArrived(QStringLiteral("a: 3"));
        announcer.lineArrived(QStringLiteral("b: 4"));
        time.advance(Announcer::intervalMs - 101);
        QCOMPARE(spoken.size(), 1);
        time.advance(1);
        QCOMPARE(spoken.size(), 2);
        QCOMPARE(spoken.at(1).at(0).toString(), QStringLiteral("3 件の新着: b: 4"));
        announcer.lineArrived(QStringLiteral("c: 5"));
        time.advance(Announcer::intervalMs);
        QCOMPARE(spoken.size(), 3);
        QCOMPARE(spoken.at(2).at(0).toString(), QStringLiteral("c: 5"));
    }

    // Ten seconds of 20 lines a millisecond: about ten announcements, not 200,000.
    void floodIsSpokenOncePerSecond()
    {
        ManualScheduler time;
        Announcer announcer(time);
        QSignalSpy spoken(&announcer, &Announcer::announce);
        for (int ms = 0; ms < 10000; ++ms) {
            for (int i = 0; i < 20; ++i)
                announcer.lineArrived(QStringLiteral("x: %1").arg(ms * 20 + i));
            time.advance(1);
        }
        time.advance(Announcer::intervalMs);
        QVERIFY2(spoken.size() <= 11, qPrintable(QString::number(spoken.size())));
        QCOMPARE(spoken.last().at(0).toString(), Announcer::merged(20000, QStringLiteral("x: 199999")));
    }

    // A peer's text is spoken as plain text, bounded, without line breaks that cut the speech.
    void peerTextIsSpokenPlainAndBounded()
    {
        ManualScheduler time;
        Announcer announcer(time);
        QSignalSpy spoken(&announcer, &Announcer::announce);
        announcer.lineArrived(QStringLiteral("<b>x</b>: a\r\nb\x07") + QString(60000, QLatin1Char('y')));
        const QString text = spoken.at(0).at(0).toString();
        QVERIFY(text.startsWith(QStringLiteral("<b>x</b>: a  b y")));
        QCOMPARE(text.size(), Announcer::spokenCharacters + 1);
        QCOMPARE(text.back(), QChar(0x2026));
        // An emoji is not cut in half.
        const QString emoji =
            QString(Announcer::spokenCharacters - 1, QLatin1Char('z')) + QStringLiteral("😀");
        QCOMPARE(Announcer::spoken(emoji).size(), Announcer::spokenCharacters);
    }

    void spokenEntries_data()
    {
        QTest::addColumn<QString>("entry");
        QTest::addColumn<QString>("row");
        QTest::addColumn<QString>("line");
        QTest::newRow("chat line") << QStringLiteral("佐藤>こんにちは\t22:09")
                                   << QStringLiteral("佐藤: こんにちは, 22:09")
                                   << QStringLiteral("佐藤: こんにちは");
        QTest::newRow("'>' in the text stays")
            << QStringLiteral("佐藤>a > b\t22:09") << QStringLiteral("佐藤: a > b, 22:09")
            << QStringLiteral("佐藤: a > b");
        QTest::newRow("join") << QStringLiteral("鈴木さんが参加しました\t09:00")
                              << QStringLiteral("鈴木さんが参加しました, 09:00")
                              << QStringLiteral("鈴木さんが参加しました");
        QTest::newRow("empty name and text")
            << QStringLiteral(">\t00:00") << QStringLiteral(": , 00:00") << QStringLiteral(": ");
        QTest::newRow("no TAB") << QStringLiteral("a>b") << QStringLiteral("a: b") << QStringLiteral("a: b");
        // The log's times have seconds; a row is read to the minute.
        QTest::newRow("seconds") << QStringLiteral("佐藤>12:50:37\t12:50:37")
                                 << QStringLiteral("佐藤: 12:50:37, 12:50")
                                 << QStringLiteral("佐藤: 12:50:37");
        QTest::newRow("not a time") << QStringLiteral("a>b\t1:2:3x") << QStringLiteral("a: b, 1:2:3x")
                                    << QStringLiteral("a: b");
    }

    void spokenEntries()
    {
        QFETCH(QString, entry);
        QFETCH(QString, row);
        QFETCH(QString, line);
        QCOMPARE(EntryListModel::spokenEntry(entry), row);
        QCOMPARE(EntryListModel::spokenLine(entry), line);
        EntryListModel model;
        model.append(entry);
        QCOMPARE(model.index(0, 0).data(Qt::AccessibleTextRole).toString(), row);
        // What is shown stays as it was.
        QCOMPARE(model.index(0, 0).data(Qt::DisplayRole).toString(), entry);
    }

    void participantRowsReadAsNameWithAddress()
    {
        ParticipantListModel model;
        model.add(QStringLiteral("佐藤"), QStringLiteral("198.18.0.2"));
        model.add(QString(), QStringLiteral("198.18.0.3"));
        model.add(QString(600, QLatin1Char('n')), QStringLiteral("198.18.0.4"));
        QCOMPARE(model.index(0, 0).data(Qt::AccessibleTextRole).toString(), QStringLiteral("佐藤"));
        QCOMPARE(model.index(0, 0).data(Qt::AccessibleDescriptionRole).toString(),
                 QStringLiteral("198.18.0.2"));
        QCOMPARE(model.index(1, 0).data(Qt::AccessibleTextRole).toString(), QString());
        QCOMPARE(model.index(1, 0).data(Qt::AccessibleDescriptionRole).toString(),
                 QStringLiteral("198.18.0.3"));
        QCOMPARE(model.index(2, 0).data(Qt::AccessibleTextRole).toString().size(),
                 EntryListModel::displayCharacters + 1);
        QCOMPARE(model.index(0, 0).data(Qt::DisplayRole).toString(), QStringLiteral("佐藤\t\t198.18.0.2"));
        // Rows follow removals.
        model.remove(QStringLiteral("198.18.0.2"));
        QCOMPARE(model.index(0, 0).data(Qt::AccessibleDescriptionRole).toString(),
                 QStringLiteral("198.18.0.3"));
        QVERIFY(!model.index(5, 0).data(Qt::AccessibleTextRole).isValid());
    }
};

QTEST_GUILESS_MAIN(TestAnnouncer)
#include "tst_announcer.moc"
