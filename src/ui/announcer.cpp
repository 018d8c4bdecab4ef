#include "announcer.h"

#include "base/scheduler.h"
#include "net/entrylistmodel.h"

Announcer::Announcer(Scheduler &scheduler, QObject *parent)
    : QObject(parent), m_interval(scheduler.createTimer(Timer::SingleShot, Qt::CoarseTimer))
{
    connect(m_interval.get(), &Timer::timeout, this, &Announcer::intervalEnded);
}

Announcer::~Announcer() = default;

void Announcer::lineArrived(const QString &line)
{
    if (m_interval->isActive()) {
        ++m_waiting;
        m_newest = line;
        return;
    }
    speak(line);
}

void Announcer::stateChanged(const QString &state)
{
    if (m_interval->isActive()) {
        m_state = state;
        return;
    }
    speak(state);
}

QString Announcer::merged(int count, const QString &newest)
{
    return QStringLiteral("%1 件の新着: %2").arg(count).arg(newest);
}

void Announcer::intervalEnded()
{
    if (m_waiting == 0) {
        if (!m_state.isEmpty())
            speak(std::exchange(m_state, QString()));
        return;
    }
    // A waiting state follows an interval later.
    const QString text = m_waiting == 1 ? m_newest : merged(m_waiting, m_newest);
    m_waiting = 0;
    m_newest.clear();
    speak(text);
}

QString Announcer::spoken(const QString &text)
{
    QString result = EntryListModel::shortened(text, spokenCharacters);
    for (QChar &c : result) {
        if (c.category() == QChar::Other_Control)
            c = QLatin1Char(' ');
    }
    return result;
}

void Announcer::speak(const QString &text)
{
    m_interval->start(intervalMs);
    emit announce(spoken(text));
}
