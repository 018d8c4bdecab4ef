#pragma once

#include "history/historyline.h"

#include <QString>
#include <random>

namespace Bench {

// The history benchmarks' lines: 50 senders, 3–9 words each from a Japanese and Latin vocabulary
// plus a number, from a fixed seed, one second apart from 2026-01-01 on. One line in 7,200 ends with
// a word no other line has (`鶴見`): 139 lines of a million, a rare character for the searches.
class HistoryCorpus
{
public:
    static constexpr qint64 firstTimeMs = 1767225600000; // 2026-01-01
    static constexpr int rareEvery = 7200;

    // The next line, in order.
    HistoryLine next();

    // Stores total lines into a new file at path in batches of 1,000; an error message, or empty.
    static QString write(const QString &path, qint64 total);

private:
    std::mt19937 m_random{20};
    std::uniform_int_distribution<int> m_person{0, 49};
    qint64 m_made = 0;
};

} // namespace Bench
