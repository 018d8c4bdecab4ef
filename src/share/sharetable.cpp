#include "sharetable.h"

void ShareTable::put(const ShareEntry &entry)
{
    const QMutexLocker locker(&m_mutex);
    m_entries.insert(entry.code, entry);
}

void ShareTable::remove(const QString &code)
{
    const QMutexLocker locker(&m_mutex);
    m_entries.remove(code);
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
