#include "chunkhasher.h"

#include <utility>

namespace {

// Enough to ride out a moment of a slow disk or a busy core, small beside any file worth it.
constexpr qint64 maxQueuedBytes = 4 * 1024 * 1024;

} // namespace

ChunkHasher::ChunkHasher() = default;

ChunkHasher::~ChunkHasher()
{
    {
        const std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_wake.notify_all();
    if (m_thread.joinable())
        m_thread.join();
}

void ChunkHasher::add(const QByteArray &chunk)
{
    if (chunk.isEmpty())
        return;
    std::unique_lock lock(m_mutex);
    m_progress.wait(lock, [this] { return m_queuedBytes < maxQueuedBytes; });
    m_queue.push_back(chunk);
    m_queuedBytes += chunk.size();
    // Started with the first chunk: a finished download in the list holds no thread.
    if (!m_thread.joinable())
        m_thread = std::thread([this] { run(); });
    lock.unlock();
    m_wake.notify_one();
}

QByteArray ChunkHasher::result()
{
    std::unique_lock lock(m_mutex);
    waitUntilIdle(lock);
    return m_hash.result();
}

void ChunkHasher::reset(Sha256 &&start)
{
    std::unique_lock lock(m_mutex);
    waitUntilIdle(lock);
    m_hash = std::move(start);
}

void ChunkHasher::waitUntilIdle(std::unique_lock<std::mutex> &lock)
{
    m_progress.wait(lock, [this] { return m_queue.empty() && !m_busy; });
}

void ChunkHasher::run()
{
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [this] { return m_stop || !m_queue.empty(); });
        if (m_stop)
            return;
        const QByteArray chunk = std::move(m_queue.front());
        m_queue.pop_front();
        m_busy = true;
        lock.unlock();
        // Only this thread touches m_hash while m_busy: the others wait for it to be idle.
        m_hash.add(chunk);
        lock.lock();
        m_busy = false;
        m_queuedBytes -= chunk.size();
        m_progress.notify_all();
    }
}
