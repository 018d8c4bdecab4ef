#pragma once

#include "base/scheduler.h"

#include <QList>

class ManualTimer;

// Timers on virtual time that only advance() moves, so tests need not wait for them. One
// scheduler serves every instance on a virtual LAN: they share one time.
class ManualScheduler : public Scheduler
{
public:
    ManualScheduler();
    ~ManualScheduler() override;

    std::unique_ptr<Timer> createTimer(Timer::Mode mode, Qt::TimerType type) override;

    // Moves time on by ms. Every timer that falls due on the way fires at its time, the earliest
    // first and those due together in the order they were started; after each, the events it
    // posted are delivered, as the event loop would before the next timer.
    void advance(int ms);
    // As advance(), but delivers nothing posted on the way, as when the window's thread is busy:
    // an answer another thread posts meanwhile waits for the next pass of the event loop.
    void advanceHoldingEvents(int ms);
    qint64 now() const { return m_now; }
    // The precision each timer was created with that is active now, soonest first.
    QList<Qt::TimerType> activeTimerTypes() const;

private:
    friend class ManualTimer;
    ManualTimer *nextDue(qint64 until) const;
    void advance(int ms, bool deliver);

    qint64 m_now = 0;
    quint64 m_starts = 0;
    QList<ManualTimer *> m_timers;
};
