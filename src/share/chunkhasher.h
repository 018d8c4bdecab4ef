#pragma once

#include "sha256.h"

#include <QByteArray>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

// Hashes the chunks of a download on a thread of its own, strictly in the order they were given,
// so that the window's thread only writes. The
// thread starts with the first chunk. At most a few MiB wait; add() blocks beyond that.
class ChunkHasher
{
public:
    ChunkHasher();
    ~ChunkHasher();
    ChunkHasher(const ChunkHasher &) = delete;
    ChunkHasher &operator=(const ChunkHasher &) = delete;

    void add(const QByteArray &chunk);
    // Waits until every chunk given is hashed; the digest of all of them.
    QByteArray result();
    // Starts over from start (the hash of the bytes before), once what waits is hashed.
    void reset(Sha256 &&start = Sha256());

private:
    void run();
    // Called with m_mutex held.
    void waitUntilIdle(std::unique_lock<std::mutex> &lock);

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_progress;
    std::deque<QByteArray> m_queue;
    qint64 m_queuedBytes = 0;
    bool m_busy = false;
    bool m_stop = false;
    Sha256 m_hash;
    std::thread m_thread;
};
