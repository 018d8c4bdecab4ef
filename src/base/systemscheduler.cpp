#include "systemscheduler.h"

#include <QTimer>

namespace {

class SystemTimer : public Timer
{
public:
    SystemTimer(Timer::Mode mode, Qt::TimerType type)
    {
        m_timer.setSingleShot(mode == Timer::SingleShot);
        m_timer.setTimerType(type);
        connect(&m_timer, &QTimer::timeout, this, &Timer::timeout);
    }

    void start(int ms) override { m_timer.start(ms); }
    void stop() override { m_timer.stop(); }
    bool isActive() const override { return m_timer.isActive(); }
    int remainingTime() const override { return m_timer.remainingTime(); }

private:
    QTimer m_timer;
};

} // namespace

std::unique_ptr<Timer> SystemScheduler::createTimer(Timer::Mode mode, Qt::TimerType type)
{
    return std::make_unique<SystemTimer>(mode, type);
}
