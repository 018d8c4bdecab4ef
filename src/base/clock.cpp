#include "clock.h"

Clock::~Clock() = default;

QTime SystemClock::timeOfDay() const
{
    return QTime::currentTime();
}

QString timeOfDayText(const QTime &time)
{
    return time.toString(QStringLiteral("H:mm:ss"));
}
