#pragma once

#include "scheduler.h"

// Timers on the event loop (QTimer).
class SystemScheduler : public Scheduler
{
public:
    std::unique_ptr<Timer> createTimer(Timer::Mode mode, Qt::TimerType type) override;
};
