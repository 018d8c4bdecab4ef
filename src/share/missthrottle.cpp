#include "missthrottle.h"

MissThrottle::MissThrottle(ShareNow now, int maxAddresses)
    : m_now(std::move(now)), m_maxAddresses(qMax(1, maxAddresses))
{
}

qint64 MissThrottle::blockedForMs(const QString &address)
{
    const qint64 now = m_now();
    const QMutexLocker locker(&m_mutex);
    const auto found = m_records.constFind(address);
    if (found == m_records.constEnd() || found->blockedUntil <= now)
        return 0;
    return found->blockedUntil - now;
}

void MissThrottle::recordMiss(const QString &address)
{
    const qint64 now = m_now();
    const QMutexLocker locker(&m_mutex);
    auto found = m_records.find(address);
    if (found == m_records.end()) {
        if (m_records.size() >= m_maxAddresses)
            makeRoom(now);
        found = m_records.insert(address, Record{});
    }
    Record &record = *found;
    record.lastSeen = now;
    if (record.blockedUntil > now)
        return; // misses during the block do not extend it
    if (record.blockedUntil != 0) {
        record = Record{};
        record.lastSeen = now;
    }
    record.misses[record.next] = now;
    record.next = (record.next + 1) % missesToBlock;
    record.count = qMin(record.count + 1, missesToBlock);
    // With the ring full, the slot to be written next holds the oldest of the last ten misses.
    if (record.count == missesToBlock && now - record.misses[record.next] < windowMs)
        record.blockedUntil = now + blockMs;
}

int MissThrottle::trackedAddresses() const
{
    const QMutexLocker locker(&m_mutex);
    return int(m_records.size());
}

bool MissThrottle::forgettable(const Record &record, qint64 now) const
{
    return record.blockedUntil <= now && now - record.lastSeen >= windowMs;
}

void MissThrottle::makeRoom(qint64 now)
{
    m_records.removeIf([&](const auto &item) { return forgettable(item.value(), now); });
    if (m_records.size() < m_maxAddresses)
        return;
    // Still full of recent ones: the least recently seen goes, an unblocked one before a blocked one.
    auto victim = m_records.begin();
    for (auto it = m_records.begin(); it != m_records.end(); ++it) {
        const bool itBlocked = it->blockedUntil > now;
        const bool victimBlocked = victim->blockedUntil > now;
        if ((victimBlocked && !itBlocked) || (itBlocked == victimBlocked && it->lastSeen < victim->lastSeen))
            victim = it;
    }
    m_records.erase(victim);
}
