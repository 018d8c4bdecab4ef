#include "titleindicator.h"

#include "base/scheduler.h"

#include <limits>

namespace {

constexpr int marqueeStepMs = 500;
constexpr int marqueeRunMs = 10000;

} // namespace

namespace Title {

qint16 nextTitlePos(qint16 titlePos)
{
    const qint16 next = qint16(titlePos + 1);
    return next > 15 ? qint16(1) : next;
}

QString marqueeFrame(qint16 titlePos)
{
    static const QString marquee = QString(10, QLatin1Char(' ')) + plain;
    return marquee.mid(titlePos - 1, 10);
}

QString countPrefix(qint16 newCount)
{
    return QStringLiteral("新着：") + QString::number(newCount) + QStringLiteral("件 ");
}

} // namespace Title

TitleIndicator::TitleIndicator(Scheduler &scheduler, std::function<bool()> isMinimized, QObject *parent)
    : QObject(parent), m_isMinimized(std::move(isMinimized)),
      m_timer1(scheduler.createTimer(Timer::Repeating, Qt::PreciseTimer)),
      m_timer2(scheduler.createTimer(Timer::Repeating, Qt::PreciseTimer))
{
    connect(m_timer1.get(), &Timer::timeout, this, &TitleIndicator::timer1Tick);
    connect(m_timer2.get(), &Timer::timeout, this, &TitleIndicator::timer2Tick);
    m_timer1->start(marqueeStepMs);
}

void TitleIndicator::start()
{
    if (!m_timer1->isActive())
        m_timer1->start(marqueeStepMs);
    if (!m_timer2->isActive())
        m_timer2->start(marqueeRunMs);
}

void TitleIndicator::countChatLine()
{
    if (!m_isMinimized())
        setNewCount(0);
    else if (m_newCount < std::numeric_limits<qint16>::max())
        setNewCount(qint16(m_newCount + 1));
}

void TitleIndicator::resetUnlessMinimized()
{
    if (m_isMinimized())
        return;
    setTitle(Title::plain);
    setNewCount(0);
}

void TitleIndicator::timer1Tick()
{
    m_titlePos = Title::nextTitlePos(m_titlePos);
    setTitle(Title::marqueeFrame(m_titlePos));
    if (m_isMinimized())
        setTitle(Title::countPrefix(m_newCount) + m_title);
}

void TitleIndicator::timer2Tick()
{
    m_timer1->stop();
    m_timer2->stop();
    setTitle(Title::plain);
    if (m_isMinimized())
        setTitle(Title::countPrefix(m_newCount) + Title::plain);
}

void TitleIndicator::setNewCount(qint16 newCount)
{
    if (newCount == m_newCount)
        return;
    m_newCount = newCount;
    emit newCountChanged(newCount);
}

void TitleIndicator::setTitle(const QString &title)
{
    m_title = title;
    emit titleChanged(title);
}
