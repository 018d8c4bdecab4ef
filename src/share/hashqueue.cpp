#include "hashqueue.h"

#include "sha256.h"

#include <pthread.h>
#include <utility>

struct HashQueue::State
{
    std::shared_ptr<Sha256> hash;
    std::deque<QByteArray> pieces;
    qsizetype queued = 0;   // of this stream, until hashed
    bool scheduled = false; // in m_waiting or being hashed
    bool abandoned = false;
};

HashQueue::HashQueue(int threads, qsizetype perStream, qsizetype total)
    : m_threadCount(qMax(1, threads)), m_perStream(perStream), m_total(qMax(perStream, total))
{
}

HashQueue::~HashQueue()
{
    {
        const std::lock_guard lock(m_mutex);
        m_ending = true;
    }
    m_ready.notify_all();
    for (std::thread &thread : m_threads)
        thread.join();
}

HashQueue::Stream HashQueue::open(std::shared_ptr<Sha256> hash)
{
    Stream stream;
    stream.m_queue = this;
    stream.m_state = std::make_shared<State>();
    stream.m_state->hash = std::move(hash);
    const std::lock_guard lock(m_mutex);
    // Started here, not with the queue: a program that takes no uploads has no idle threads.
    while (int(m_threads.size()) < m_threadCount)
        m_threads.emplace_back(&HashQueue::work, this);
    return stream;
}

QByteArray HashQueue::buffer(qsizetype capacity)
{
    {
        const std::lock_guard lock(m_mutex);
        while (!m_spare.empty()) {
            QByteArray spare = std::move(m_spare.back());
            m_spare.pop_back();
            m_spareBytes -= spare.capacity();
            if (spare.capacity() >= capacity)
                return spare;
        }
    }
    QByteArray fresh;
    fresh.reserve(capacity);
    return fresh;
}

void HashQueue::work()
{
    // Told apart from the server's threads in top and perf.
    ::pthread_setname_np(::pthread_self(), "upload-hash");
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_ready.wait(lock, [this] { return m_ending || !m_waiting.empty(); });
        if (m_ending)
            return;
        const std::shared_ptr<State> state = std::move(m_waiting.front());
        m_waiting.pop_front();
        // Abandoned while it waited.
        if (state->pieces.empty()) {
            state->scheduled = false;
            continue;
        }
        QByteArray piece = std::move(state->pieces.front());
        state->pieces.pop_front();
        lock.unlock();
        state->hash->add(piece);
        lock.lock();
        m_queued -= piece.size();
        if (!state->abandoned)
            state->queued -= piece.size();
        // As many as one stream cycles through; beyond that memory is given back.
        if (m_spareBytes + piece.capacity() <= m_perStream) {
            m_spareBytes += piece.capacity();
            piece.resize(0);
            m_spare.push_back(std::move(piece));
        }
        // One piece at a time, so that a fast stream does not hold the others back.
        if (state->pieces.empty()) {
            state->scheduled = false;
        } else {
            m_waiting.push_back(state);
            m_ready.notify_one();
        }
        m_hashed.notify_all();
    }
}

HashQueue::Stream::~Stream()
{
    abandon();
}

HashQueue::Stream::Stream(Stream &&other) noexcept
    : m_queue(std::exchange(other.m_queue, nullptr)), m_state(std::move(other.m_state))
{
}

HashQueue::Stream &HashQueue::Stream::operator=(Stream &&other) noexcept
{
    if (this != &other) {
        abandon();
        m_queue = std::exchange(other.m_queue, nullptr);
        m_state = std::move(other.m_state);
    }
    return *this;
}

void HashQueue::Stream::add(QByteArray bytes)
{
    if (bytes.isEmpty())
        return;
    HashQueue &queue = *m_queue;
    State &state = *m_state;
    const qsizetype size = bytes.size();
    std::unique_lock lock(queue.m_mutex);
    queue.m_hashed.wait(lock, [&] {
        return (state.queued == 0 || state.queued + size <= queue.m_perStream) &&
               (queue.m_queued == 0 || queue.m_queued + size <= queue.m_total);
    });
    state.pieces.push_back(std::move(bytes));
    state.queued += size;
    queue.m_queued += size;
    if (!state.scheduled) {
        state.scheduled = true;
        queue.m_waiting.push_back(m_state);
        queue.m_ready.notify_one();
    }
}

const std::shared_ptr<Sha256> &HashQueue::Stream::settled()
{
    std::unique_lock lock(m_queue->m_mutex);
    m_queue->m_hashed.wait(lock, [this] { return !m_state->scheduled; });
    return m_state->hash;
}

void HashQueue::Stream::abandon()
{
    if (!m_state)
        return;
    {
        const std::lock_guard lock(m_queue->m_mutex);
        State &state = *m_state;
        state.abandoned = true;
        // A piece being hashed is counted off by its worker.
        for (const QByteArray &piece : state.pieces)
            m_queue->m_queued -= piece.size();
        state.pieces.clear();
        state.queued = 0;
    }
    m_queue->m_hashed.notify_all();
    m_state.reset();
    m_queue = nullptr;
}
