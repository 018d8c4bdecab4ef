#include "manualscheduler.h"
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
        ManualScheduler time;
        TitleIndicator indicator(time, [] { return false; });
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
        ManualScheduler time;
        TitleIndicator indicator(time, [&] { return minimized; });
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
        ManualScheduler time;
        TitleIndicator indicator(time, [] { return true; });
        indicator.timer1Tick();
        QCOMPARE(indicator.title(), QStringLiteral("新着：0件 ") + QString(10, QLatin1Char(' ')));
        // Resizing while minimized leaves title and count alone.
        indicator.resetUnlessMinimized();
        QCOMPARE(indicator.title(), QStringLiteral("新着：0件 ") + QString(10, QLatin1Char(' ')));
    }

    void lineWhileShownClearsTheCount()
    {
        bool minimized = true;
        ManualScheduler time;
        TitleIndicator indicator(time, [&] { return minimized; });
        indicator.countChatLine();
        indicator.countChatLine();
        minimized = false;
        indicator.countChatLine();
        QCOMPARE(indicator.newCount(), qint16(0));
    }

    void countStopsAt32767()
    {
        ManualScheduler time;
        TitleIndicator indicator(time, [] { return true; });
        for (int i = 0; i < 32767 + 5; ++i)
            indicator.countChatLine();
        QCOMPARE(indicator.newCount(), qint16(32767));
        indicator.timer2Tick();
        QCOMPARE(indicator.title(), QStringLiteral("新着：32767件 Zumzumちゃっと"));
    }

    void positionContinuesAfterAStop()
    {
        ManualScheduler time;
        TitleIndicator indicator(time, [] { return false; });
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

    // The marquee steps every 500 ms; later lines neither shift its steps nor put off its stop,
    // which comes 10 s after the first start.
    void timersStepAndStopTheMarquee()
    {
        ManualScheduler time;
        TitleIndicator indicator(time, [] { return false; });
        time.advance(300);
        indicator.start();
        // A coarse timer may be 5 % off: the stop would come up to half a second late.
        QCOMPARE(time.activeTimerTypes(), (QList<Qt::TimerType>{Qt::PreciseTimer, Qt::PreciseTimer}));
        time.advance(199);
        QCOMPARE(indicator.titlePos(), qint16(0));
        time.advance(1);
        QCOMPARE(indicator.titlePos(), qint16(1));
        QCOMPARE(indicator.title(), Title::marqueeFrame(1));

        time.advance(4700); // 5 s in, a line arrives
        indicator.start();
        QCOMPARE(indicator.titlePos(), qint16(10));
        time.advance(299);
        QCOMPARE(indicator.titlePos(), qint16(10));
        time.advance(1);
        QCOMPARE(indicator.titlePos(), qint16(11));

        time.advance(4799); // 1 ms before the stop
        QVERIFY(indicator.marqueeRunning());
        time.advance(1);
        QVERIFY(!indicator.marqueeRunning());
        QVERIFY(!indicator.stopScheduled());
        QCOMPARE(indicator.title(), QStringLiteral("Zumzumちゃっと"));
        const qint16 stoppedAt = indicator.titlePos();
        time.advance(5000);
        QCOMPARE(indicator.titlePos(), stoppedAt);
        QCOMPARE(indicator.title(), QStringLiteral("Zumzumちゃっと"));
    }
};

QTEST_GUILESS_MAIN(TestTitleIndicator)
#include "tst_titleindicator.moc"
