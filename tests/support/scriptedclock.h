#pragma once

#include "base/clock.h"

// Times of day that do not depend on when the program runs: 9:41:05, then 23 s later on each call.
class ScriptedClock : public Clock
{
public:
    QTime timeOfDay() const override;

private:
    mutable int m_calls = 0;
};
