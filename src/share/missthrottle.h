#pragma once

#include "shareentry.h"

#include <QHash>
#include <QMutex>
#include <QString>
#include <array>

// Slows down guessing of share codes: an address that asked for 10 wrong codes within a minute
// gets nothing for a minute from its 10th miss. Asking during the block does not extend it, so a
// guesser cannot lock itself out forever and a colleague behind it is served again soon. The
// number of addresses kept is bounded, so a flood of misses from many addresses keeps memory flat.
// Called from the server's threads.
class MissThrottle
{
public:
    static constexpr int missesToBlock = 10;
    static constexpr qint64 windowMs = 60 * 1000;
    static constexpr qint64 blockMs = 60 * 1000;

    explicit MissThrottle(ShareNow now, int maxAddresses = 1024);

    // Milliseconds the address is still blocked; 0 when it may ask.
    qint64 blockedForMs(const QString &address);
    // A request for a code that is not shared.
    void recordMiss(const QString &address);
    // The addresses remembered now.
    int trackedAddresses() const;

private:
    struct Record
    {
        std::array<qint64, missesToBlock> misses{}; // a ring of the latest miss times
        int count = 0;                              // misses in the ring, up to missesToBlock
        int next = 0;
        qint64 blockedUntil = 0;
        qint64 lastSeen = 0;
    };

    bool forgettable(const Record &record, qint64 now) const;
    void makeRoom(qint64 now);

    ShareNow m_now;
    int m_maxAddresses;
    mutable QMutex m_mutex;
    QHash<QString, Record> m_records;
};
