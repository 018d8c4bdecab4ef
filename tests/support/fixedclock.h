#pragma once

#include "base/clock.h"

// The same time of day on every call, until a test sets another.
class FixedClock : public Clock
{
public:
    QTime time = QTime(14, 3, 21);
    QTime timeOfDay() const override { return time; }
};
