#pragma once

#include "base/timer.h"

#include <QLabel>
#include <QWidget>
#include <memory>

class Scheduler;

// The "Only受信" popup: borderless, no taskbar button, centred; closes 5 s after it was created or
// when its text is clicked, and is then destroyed.
class Form3 : public QWidget
{
    Q_OBJECT

public:
    explicit Form3(Scheduler &scheduler);

    QLabel *label() const { return m_label1; }
    int remainingMs() const { return m_timer1->remainingTime(); }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QLabel *m_label1;
    std::unique_ptr<Timer> m_timer1;
};
