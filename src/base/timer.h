#pragma once

#include <QObject>

// One timer from a Scheduler: the part of QTimer the program uses, so tests can run it on
// virtual time.
class Timer : public QObject
{
    Q_OBJECT

public:
    enum Mode { SingleShot, Repeating };

    // Starts, or starts again from now, with ms as the interval.
    virtual void start(int ms) = 0;
    virtual void stop() = 0;
    virtual bool isActive() const = 0;
    // Milliseconds until the next timeout; -1 when not active.
    virtual int remainingTime() const = 0;

signals:
    void timeout();
};
