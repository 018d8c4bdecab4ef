#pragma once

#include <QLabel>
#include <QTimer>
#include <QWidget>

// The "Only受信" popup: borderless, no taskbar button, centred; closes 5 s after it was created or
// when its text is clicked, and is then destroyed.
class Form3 : public QWidget
{
    Q_OBJECT

public:
    Form3();

    QLabel *label() const { return m_label1; }
    int remainingMs() const { return m_timer1.remainingTime(); }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QLabel *m_label1;
    QTimer m_timer1;
};
