#pragma once

#include "base/timer.h"

#include <QObject>
#include <QString>
#include <memory>

class Scheduler;

// What a screen reader is told of new log lines: the first line of a quiet spell at once, and
// at most one announcement a second after it, which merges a burst into its count and its newest
// line. A flood is spoken as a few lines, not for minutes.
class Announcer : public QObject
{
    Q_OBJECT

public:
    static constexpr int intervalMs = 1000;
    // Enough to follow a line; a screen reader reading 60,000 characters would be stuck for an hour.
    static constexpr qsizetype spokenCharacters = 300;

    explicit Announcer(Scheduler &scheduler, QObject *parent = nullptr);
    ~Announcer() override;

    // One line as it is to be spoken: plain text.
    void lineArrived(const QString &line);
    // A state that replaces the one before it ("28 件"): spoken like a line, but of a burst only
    // the last, as it is.
    void stateChanged(const QString &state);
    // "3 件の新着: " and the newest line.
    static QString merged(int count, const QString &newest);
    // Text fit to be spoken: cut to spokenCharacters, line breaks and other control characters
    // from a peer as blanks.
    static QString spoken(const QString &text);

signals:
    void announce(const QString &text);

private:
    void intervalEnded();
    void speak(const QString &text);

    std::unique_ptr<Timer> m_interval;
    int m_waiting = 0;
    QString m_newest;
    QString m_state; // waiting to be spoken
};
