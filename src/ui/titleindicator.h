#pragma once

#include "base/timer.h"

#include <QObject>
#include <QString>
#include <functional>
#include <memory>

namespace Title {

inline const QString created = QStringLiteral("Zumzumチャット");
inline const QString plain = QStringLiteral("Zumzumちゃっと");

// 1, 2, ..., 15, 1, ...
qint16 nextTitlePos(qint16 titlePos);
// The marquee text (ten blanks and the plain title) from character titlePos, at most ten long.
QString marqueeFrame(qint16 titlePos);
// "新着：" N "件 "
QString countPrefix(qint16 newCount);

} // namespace Title

class Scheduler;

// The title marquee and the count of lines that arrived while the window was minimized.
// Timer1 steps the marquee every 500 ms; Timer2 stops it 10 s after the indicator was started.
class TitleIndicator : public QObject
{
    Q_OBJECT

public:
    TitleIndicator(Scheduler &scheduler, std::function<bool()> isMinimized, QObject *parent = nullptr);

    // Timer1 on, then Timer2 on; an enabled timer keeps its period.
    void start();
    // After a chat line was logged: plus 1 while minimized (stopping at 32767), else 0.
    void countChatLine();
    // The resize rule: unless minimized, the plain title and a count of 0.
    void resetUnlessMinimized();

    qint16 titlePos() const { return m_titlePos; }
    qint16 newCount() const { return m_newCount; }
    QString title() const { return m_title; }
    bool marqueeRunning() const { return m_timer1->isActive(); }
    bool stopScheduled() const { return m_timer2->isActive(); }

public slots:
    void timer1Tick();
    void timer2Tick();

signals:
    void titleChanged(const QString &title);
    void newCountChanged(qint16 newCount);

private:
    void setTitle(const QString &title);
    void setNewCount(qint16 newCount);

    std::function<bool()> m_isMinimized;
    std::unique_ptr<Timer> m_timer1;
    std::unique_ptr<Timer> m_timer2;
    qint16 m_titlePos = 0;
    qint16 m_newCount = 0;
    QString m_title = Title::created;
};
