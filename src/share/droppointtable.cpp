#include "droppointtable.h"

#include <algorithm>

void DropPointTable::put(const DropPointEntry &entry)
{
    const QMutexLocker locker(&m_mutex);
    m_entries.insert(entry.code, entry);
    m_endings.remove(entry.code);
}

QList<DropPointTable::Part> DropPointTable::end(const QString &code)
{
    const QMutexLocker locker(&m_mutex);
    m_entries.remove(code);
    m_claimed.remove(code);
    if (!m_endings.contains(code)) {
        m_endingOrder.enqueue(code);
        if (m_endingOrder.size() > rememberedEndings)
            m_endings.remove(m_endingOrder.dequeue());
    }
    m_endings.insert(code, true);
    m_uploads.removeIf([&code](const auto &upload) { return upload.value().code == code; });
    m_resumables.removeIf([&code](const auto &resumable) { return resumable.value().upload.code == code; });
    return m_parts.take(code);
}

bool DropPointTable::ended(const QString &code) const
{
    const QMutexLocker locker(&m_mutex);
    return m_endings.contains(code);
}

std::optional<DropPointEntry> DropPointTable::find(const QString &code) const
{
    const QMutexLocker locker(&m_mutex);
    const auto found = m_entries.constFind(code);
    if (found == m_entries.constEnd())
        return std::nullopt;
    return *found;
}

int DropPointTable::size() const
{
    const QMutexLocker locker(&m_mutex);
    return int(m_entries.size());
}

bool DropPointTable::claim(const QString &code, qint64 bytes)
{
    const QMutexLocker locker(&m_mutex);
    const auto found = m_entries.constFind(code);
    if (found == m_entries.constEnd() || bytes < 0)
        return false;
    qint64 &taken = m_claimed[code];
    if (bytes > found->sizeLimit - taken)
        return false;
    taken += bytes;
    return true;
}

void DropPointTable::unclaim(const QString &code, qint64 bytes)
{
    const QMutexLocker locker(&m_mutex);
    const auto found = m_claimed.find(code);
    if (found != m_claimed.end())
        *found = qMax<qint64>(0, *found - bytes);
}

qint64 DropPointTable::claimed(const QString &code) const
{
    const QMutexLocker locker(&m_mutex);
    return m_claimed.value(code);
}

quint64 DropPointTable::addPart(const QString &code, const Part &part)
{
    const QMutexLocker locker(&m_mutex);
    Part added = part;
    added.id = m_nextPart++;
    m_parts[code].append(added);
    return added.id;
}

void DropPointTable::removePart(const QString &code, quint64 id)
{
    const QMutexLocker locker(&m_mutex);
    const auto found = m_parts.find(code);
    if (found == m_parts.end())
        return;
    m_uploads.remove(id);
    found->removeIf([id](const Part &part) { return part.id == id; });
    if (found->isEmpty())
        m_parts.erase(found);
}

void DropPointTable::describeUpload(const Upload &upload)
{
    const QMutexLocker locker(&m_mutex);
    // Only while its .part is there: an upload the drop point's end has cut is not listed again.
    const auto parts = m_parts.constFind(upload.code);
    if (parts == m_parts.constEnd() ||
        std::none_of(parts->cbegin(), parts->cend(),
                     [&upload](const Part &part) { return part.id == upload.id; }))
        return;
    m_uploads.insert(upload.id, upload);
}

void DropPointTable::wrote(quint64 id, qint64 bytes)
{
    const QMutexLocker locker(&m_mutex);
    const auto found = m_uploads.find(id);
    if (found != m_uploads.end())
        found->written += bytes;
}

QList<DropPointTable::Upload> DropPointTable::uploads() const
{
    const QMutexLocker locker(&m_mutex);
    QList<Upload> uploads = m_uploads.values();
    for (const Resumable &resumable : m_resumables) {
        if (!resumable.holder) {
            for (Upload &upload : uploads)
                upload.waiting = upload.waiting || upload.id == resumable.partId;
        }
    }
    std::sort(uploads.begin(), uploads.end(), [](const Upload &a, const Upload &b) { return a.id < b.id; });
    return uploads;
}

quint64 DropPointTable::addResumable(const Resumable &resumable)
{
    const QMutexLocker locker(&m_mutex);
    const QString &code = resumable.upload.code;
    if (!m_entries.contains(code))
        return 0;
    Resumable added = resumable;
    if (added.partId == 0) {
        // Kept by an earlier run: listed at once, waiting for its sender.
        added.partId = m_nextPart++;
        m_parts[code].append({added.partId, added.upload.partPath, added.upload.device, added.upload.inode});
        const ResumableUpload &kept = added.upload;
        m_uploads.insert(added.partId,
                         {added.partId, code, kept.name, kept.address, kept.offset, kept.length});
    }
    m_resumables.insert(added.upload.token, added);
    return added.partId;
}

std::optional<DropPointTable::Resumable> DropPointTable::resumable(const QString &code,
                                                                   const QString &token) const
{
    const QMutexLocker locker(&m_mutex);
    const auto found = m_resumables.constFind(token);
    if (found == m_resumables.constEnd() || found->upload.code != code)
        return std::nullopt;
    return *found;
}

std::optional<DropPointTable::Resumable> DropPointTable::hold(const QString &code, const QString &token,
                                                              const void *holder)
{
    const QMutexLocker locker(&m_mutex);
    const auto found = m_resumables.find(token);
    if (found == m_resumables.end() || found->upload.code != code || found->holder)
        return std::nullopt;
    found->holder = holder;
    return *found;
}

bool DropPointTable::release(const QString &token, qint64 offset, std::shared_ptr<Sha256> hash)
{
    const QMutexLocker locker(&m_mutex);
    const auto found = m_resumables.find(token);
    if (found == m_resumables.end())
        return false;
    found->holder = nullptr;
    found->upload.offset = offset;
    if (const auto listed = m_uploads.find(found->partId); listed != m_uploads.end())
        listed->written = offset;
    found->hash = std::move(hash);
    return true;
}

std::optional<DropPointTable::Resumable> DropPointTable::removeResumable(const QString &token)
{
    const QMutexLocker locker(&m_mutex);
    const auto found = m_resumables.find(token);
    if (found == m_resumables.end())
        return std::nullopt;
    return m_resumables.take(token);
}
