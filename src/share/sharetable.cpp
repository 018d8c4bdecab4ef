#include "sharetable.h"

void ShareTable::put(const ShareEntry &entry)
{
    const QMutexLocker locker(&m_mutex);
    m_entries.insert(entry.code, entry);
    m_endings.remove(entry.code);
}

void ShareTable::remove(const QString &code)
{
    const QMutexLocker locker(&m_mutex);
    m_entries.remove(code);
}

void ShareTable::end(const QString &code, Ending why)
{
    const QMutexLocker locker(&m_mutex);
    m_entries.remove(code);
    if (!m_endings.contains(code)) {
        m_endingOrder.enqueue(code);
        if (m_endingOrder.size() > rememberedEndings)
            m_endings.remove(m_endingOrder.dequeue());
    }
    m_endings.insert(code, why);
}

std::optional<ShareTable::Ending> ShareTable::ending(const QString &code) const
{
    const QMutexLocker locker(&m_mutex);
    const auto found = m_endings.constFind(code);
    if (found == m_endings.constEnd())
        return std::nullopt;
    return *found;
}

bool ShareTable::hasEndings() const
{
    const QMutexLocker locker(&m_mutex);
    return !m_endings.isEmpty();
}

void ShareTable::clear()
{
    const QMutexLocker locker(&m_mutex);
    m_entries.clear();
}

std::optional<ShareEntry> ShareTable::find(const QString &code) const
{
    const QMutexLocker locker(&m_mutex);
    const auto found = m_entries.constFind(code);
    if (found == m_entries.constEnd())
        return std::nullopt;
    return *found;
}

int ShareTable::size() const
{
    const QMutexLocker locker(&m_mutex);
    return int(m_entries.size());
}
