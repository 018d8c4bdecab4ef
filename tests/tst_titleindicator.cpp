#include "ui/titleindicator.h"

#include <QTest>

class TestTitleIndicator : public QObject
{
    Q_OBJECT

private slots:
    void frames_data()
    {
        QTest::addColumn<int>("pos");
        QTest::addColumn<QString>("frame");
        QTest::newRow("1: ten blanks") << 1 << QString(10, QLatin1Char(' '));
        QTest::newRow("2") << 2 << QString(9, QLatin1Char(' ')) + QStringLiteral("Z");
        QTest::newRow("10") << 10 << QStringLiteral(" Zumzumちゃっ");
        QTest::newRow("11: plain title") << 11 << QStringLiteral("Zumzumちゃっと");
        QTest::newRow("12") << 12 << QStringLiteral("umzumちゃっと");
        QTest::newRow("15: six characters") << 15 << QStringLiteral("umちゃっと");
    }

    void frames()
    {
        QFETCH(int, pos);
        QFETCH(QString, frame);
        QCOMPARE(Title::marqueeFrame(qint16(pos)), frame);
    }

    void positionsCycleFrom1To15()
    {
        qint16 pos = 0;
        QList<qint16> seen;
        for (int i = 0; i < 17; ++i)
            seen.append(pos = Title::nextTitlePos(pos));
        QCOMPARE(seen.first(), qint16(1));
        QCOMPARE(seen.at(14), qint16(15));
        QCOMPARE(seen.at(15), qint16(1));
    }

    void marqueeRunsFromStartUpWithoutStop()
    {
        TitleIndicator indicator([] { return false; });
        QVERIFY(indicator.marqueeRunning());
        QVERIFY(!indicator.stopScheduled());
        QCOMPARE(indicator.title(), QStringLiteral("Zumzumチャット"));
        indicator.timer1Tick();
        QCOMPARE(indicator.titlePos(), qint16(1));
        QCOMPARE(indicator.title(), QString(10, QLatin1Char(' ')));
    }

    void minimizedCountsAndFreezesWithPrefix()
    {
        bool minimized = true;
        TitleIndicator indicator([&] { return minimized; });
        for (int i = 0; i < 3; ++i) {
            indicator.start();
            indicator.countChatLine();
        }
        QCOMPARE(indicator.newCount(), qint16(3));
        indicator.timer1Tick();
        QCOMPARE(indicator.title(), QStringLiteral("新着：3件 ") + Title::marqueeFrame(1));
        indicator.timer2Tick();
        QVERIFY(!indicator.marqueeRunning());
        QVERIFY(!indicator.stopScheduled());
        QCOMPARE(indicator.title(), QStringLiteral("新着：3件 Zumzumちゃっと"));

        // Restored: the plain title and a fresh count.
        minimized = false;
        indicator.resetUnlessMinimized();
        QCOMPARE(indicator.title(), QStringLiteral("Zumzumちゃっと"));
        QCOMPARE(indicator.newCount(), qint16(0));
    }

    void minimizedWithoutActivityShowsZero()
    {
        TitleIndicator indicator([] { return true; });
        indicator.timer1Tick();
        QCOMPARE(indicator.title(), QStringLiteral("新着：0件 ") + QString(10, QLatin1Char(' ')));
        // Resizing while minimized leaves title and count alone.
        indicator.resetUnlessMinimized();
        QCOMPARE(indicator.title(), QStringLiteral("新着：0件 ") + QString(10, QLatin1Char(' ')));
    }

    void lineWhileShownClearsTheCount()
    {
        bool minimized = true;
        TitleIndicator indicator([&] { return minimized; });
        indicator.countChatLine();
        indicator.countChatLine();
        minimized = false;
        indicator.countChatLine();
        QCOMPARE(indicator.newCount(), qint16(0));
    }

    void countStopsAt32767()
    {
        TitleIndicator indicator([] { return true; });
        for (int i = 0; i < 32767 + 5; ++i)
            indicator.countChatLine();
        QCOMPARE(indicator.newCount(), qint16(32767));
        indicator.timer2Tick();
        QCOMPARE(indicator.title(), QStringLiteral("新着：32767件 Zumzumちゃっと"));
    }

    void positionContinuesAfterAStop()
    {
        TitleIndicator indicator([] { return false; });
        for (int i = 0; i < 4; ++i)
            indicator.timer1Tick();
        indicator.timer2Tick();
        QCOMPARE(indicator.title(), QStringLiteral("Zumzumちゃっと"));
        indicator.start();
        QVERIFY(indicator.marqueeRunning());
        QVERIFY(indicator.stopScheduled());
        indicator.timer1Tick();
        QCOMPARE(indicator.titlePos(), qint16(5));
        QCOMPARE(indicator.title(), Title::marqueeFrame(5));
    }

    void realTimersStopTheMarquee()
    {
        TitleIndicator indicator([] { return false; });
        indicator.start();
        // Timer2 fires after 10 s; allow a loaded machine plenty of slack.
        QTRY_VERIFY_WITH_TIMEOUT(!indicator.marqueeRunning(), 30000);
        QCOMPARE(indicator.title(), QStringLiteral("Zumzumちゃっと"));
        QVERIFY(indicator.titlePos() >= 1);
    }
};

QTEST_GUILESS_MAIN(TestTitleIndicator)
#include "tst_titleindicator.moc"
