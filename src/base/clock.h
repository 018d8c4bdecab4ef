#pragma once

#include <QTime>

// The time of day, behind a seam so tests can fix it.
class Clock
{
public:
    virtual ~Clock();
    virtual QTime timeOfDay() const = 0;
};

class SystemClock : public Clock
{
public:
    QTime timeOfDay() const override;
};

// The chat log's time form: H:mm:ss, 24-hour, as the Windows peers show it.
QString timeOfDayText(const QTime &time);
