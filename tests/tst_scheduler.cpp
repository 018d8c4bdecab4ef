#include "base/systemscheduler.h"
#include "manualscheduler.h"

#include <QTest>

// The fake timers stand in for QTimer in the widget and session tests: they must keep its order of
// events, or those tests pass on behaviour the program does not have.
class TestScheduler : public QObject
{
    Q_OBJECT

private slots:
    // Earliest first, those due together in start order, a single shot off in its own slot, and
    // what a slot posts handled before the next timer, as on the event loop.
    void manualTimersFireInTimeOrder()
    {
        ManualScheduler time;
        QStringList log;
        const auto watch = [&](Timer *timer, const QString &name) {
            connect(timer, &Timer::timeout, this, [&log, &time, timer, name] {
                log.append(QStringLiteral("%1@%2%3")
                               .arg(name)
                               .arg(time.now())
                               .arg(timer->isActive() ? QString() : QStringLiteral(" off")));
                QMetaObject::invokeMethod(
                    timer, [&log] { log.append(QStringLiteral("posted")); }, Qt::QueuedConnection);
            });
        };
        auto late = time.createTimer(Timer::SingleShot, Qt::CoarseTimer);
        auto repeating = time.createTimer(Timer::Repeating, Qt::CoarseTimer);
        auto tied = time.createTimer(Timer::SingleShot, Qt::PreciseTimer);
        watch(late.get(), QStringLiteral("late"));
        watch(repeating.get(), QStringLiteral("repeating"));
        watch(tied.get(), QStringLiteral("tied"));
        late->start(30);
        repeating->start(20);
        tied->start(20);
        QCOMPARE(time.activeTimerTypes(),
                 (QList<Qt::TimerType>{Qt::CoarseTimer, Qt::PreciseTimer, Qt::CoarseTimer}));

        time.advance(19);
        QVERIFY(log.isEmpty());
        QCOMPARE(late->remainingTime(), 11);
        time.advance(21);
        QCOMPARE(log, (QStringList{QStringLiteral("repeating@20"), QStringLiteral("posted"),
                                   QStringLiteral("tied@20 off"), QStringLiteral("posted"),
                                   QStringLiteral("late@30 off"), QStringLiteral("posted"),
                                   QStringLiteral("repeating@40"), QStringLiteral("posted")}));
        QCOMPARE(late->remainingTime(), -1);
        QCOMPARE(repeating->remainingTime(), 20);
    }

    // As with QTimer, a restart counts from now, a stopped or destroyed timer stays silent, and one
    // started in passing fires when it falls due.
    void slotsChangeTimersWhileTimeAdvances()
    {
        ManualScheduler time;
        QStringList fired;
        auto first = time.createTimer(Timer::SingleShot, Qt::CoarseTimer);
        auto restarted = time.createTimer(Timer::SingleShot, Qt::CoarseTimer);
        auto stopped = time.createTimer(Timer::Repeating, Qt::CoarseTimer);
        auto deleted = time.createTimer(Timer::SingleShot, Qt::CoarseTimer);
        auto started = time.createTimer(Timer::SingleShot, Qt::CoarseTimer);
        for (Timer *timer : {first.get(), restarted.get(), stopped.get(), deleted.get(), started.get()})
            connect(timer, &Timer::timeout, this,
                    [&fired, &time] { fired.append(QString::number(time.now())); });
        connect(first.get(), &Timer::timeout, this, [&] {
            restarted->start(15);
            stopped->stop();
            deleted.reset();
            started->start(5);
        });
        first->start(10);
        restarted->start(12);
        stopped->start(10);
        deleted->start(11);
        time.advance(100);
        QCOMPARE(fired, (QStringList{QStringLiteral("10"), QStringLiteral("15"), QStringLiteral("25")}));
    }

    void systemTimersRunOnTheEventLoop()
    {
        SystemScheduler scheduler;
        auto once = scheduler.createTimer(Timer::SingleShot, Qt::PreciseTimer);
        auto repeating = scheduler.createTimer(Timer::Repeating, Qt::CoarseTimer);
        int onceFired = 0;
        int repeats = 0;
        bool activeInSlot = true;
        connect(once.get(), &Timer::timeout, this, [&] {
            ++onceFired;
            activeInSlot = once->isActive();
        });
        connect(repeating.get(), &Timer::timeout, this, [&] { ++repeats; });
        QCOMPARE(once->remainingTime(), -1);
        once->start(1);
        repeating->start(5);
        QTRY_VERIFY(repeats >= 3);
        QCOMPARE(onceFired, 1);
        QVERIFY(!activeInSlot);
        repeating->stop();
        QVERIFY(!repeating->isActive());
    }
};

QTEST_GUILESS_MAIN(TestScheduler)
#include "tst_scheduler.moc"
