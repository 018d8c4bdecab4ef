#pragma once

#include "timer.h"

#include <memory>

// Where timers come from, behind a seam so tests can drive the time.
class Scheduler
{
public:
    virtual ~Scheduler();
    // The timer stops when it is destroyed; the scheduler must outlive it.
    virtual std::unique_ptr<Timer> createTimer(Timer::Mode mode, Qt::TimerType type) = 0;
};
