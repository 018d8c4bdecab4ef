#include "manualscheduler.h"

#include <QCoreApplication>
#include <algorithm>

class ManualTimer : public Timer
{
public:
    ManualTimer(ManualScheduler &scheduler, Timer::Mode mode, Qt::TimerType type)
        : m_scheduler(&scheduler), m_mode(mode), m_type(type)
    {
        scheduler.m_timers.append(this);
    }

    ~ManualTimer() override
    {
        if (m_scheduler)
            m_scheduler->m_timers.removeOne(this);
    }

    void start(int ms) override
    {
        if (!m_scheduler)
            return;
        m_interval = std::max(0, ms);
        m_due = m_scheduler->m_now + m_interval;
        m_order = ++m_scheduler->m_starts;
        m_active = true;
    }

    void stop() override { m_active = false; }
    bool isActive() const override { return m_active; }
    int remainingTime() const override
    {
        return m_active && m_scheduler ? int(std::max<qint64>(0, m_due - m_scheduler->m_now)) : -1;
    }

    void fire()
    {
        if (m_mode == Timer::SingleShot) {
            m_active = false;
        } else {
            // A zero interval would fire without end within one advance().
            m_due += std::max(1, m_interval);
            m_order = ++m_scheduler->m_starts;
        }
        emit timeout();
    }

    ManualScheduler *m_scheduler;
    Timer::Mode m_mode;
    Qt::TimerType m_type;
    int m_interval = 0;
    qint64 m_due = 0;
    quint64 m_order = 0;
    bool m_active = false;
};

ManualScheduler::ManualScheduler() = default;

ManualScheduler::~ManualScheduler()
{
    for (ManualTimer *timer : std::as_const(m_timers)) {
        timer->m_scheduler = nullptr;
        timer->m_active = false;
    }
}

std::unique_ptr<Timer> ManualScheduler::createTimer(Timer::Mode mode, Qt::TimerType type)
{
    return std::make_unique<ManualTimer>(*this, mode, type);
}

ManualTimer *ManualScheduler::nextDue(qint64 until) const
{
    ManualTimer *next = nullptr;
    for (ManualTimer *timer : m_timers) {
        if (!timer->m_active || timer->m_due > until)
            continue;
        if (!next || timer->m_due < next->m_due ||
            (timer->m_due == next->m_due && timer->m_order < next->m_order))
            next = timer;
    }
    return next;
}

void ManualScheduler::advance(int ms)
{
    advance(ms, true);
}

void ManualScheduler::advanceHoldingEvents(int ms)
{
    advance(ms, false);
}

void ManualScheduler::advance(int ms, bool deliver)
{
    const qint64 until = m_now + std::max(0, ms);
    if (deliver)
        QCoreApplication::sendPostedEvents();
    while (ManualTimer *timer = nextDue(until)) {
        m_now = timer->m_due;
        timer->fire();
        if (deliver)
            QCoreApplication::sendPostedEvents();
    }
    m_now = until;
}

QList<Qt::TimerType> ManualScheduler::activeTimerTypes() const
{
    QList<ManualTimer *> active;
    std::copy_if(m_timers.begin(), m_timers.end(), std::back_inserter(active),
                 [](const ManualTimer *timer) { return timer->m_active; });
    std::stable_sort(active.begin(), active.end(),
                     [](const ManualTimer *a, const ManualTimer *b) { return a->m_due < b->m_due; });
    QList<Qt::TimerType> types;
    for (const ManualTimer *timer : std::as_const(active))
        types.append(timer->m_type);
    return types;
}
