#pragma once

#include <QByteArray>

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class Sha256;

// Hashes the bytes of many streams (uploads) on threads of its own, so that hashing overlaps with
// receiving and writing them. A stream's pieces go into its Sha256 in the order they were added.
// What waits to be hashed is bounded per stream and over all streams: add() waits for room, which
// holds the sender back instead of letting memory grow. The threads start with the first stream.
// Streams must end before the queue does.
class HashQueue
{
    struct State;

public:
    // A piece larger than perStream waits until the stream has nothing else waiting.
    HashQueue(int threads, qsizetype perStream, qsizetype total);
    ~HashQueue();
    HashQueue(const HashQueue &) = delete;
    HashQueue &operator=(const HashQueue &) = delete;

    // One stream's feed. Ending it without settled() drops what waits: the worker that may be
    // adding a piece keeps the hash alive until it is done.
    class Stream
    {
    public:
        Stream() = default;
        ~Stream();
        Stream(Stream &&other) noexcept;
        Stream &operator=(Stream &&other) noexcept;
        Stream(const Stream &) = delete;
        Stream &operator=(const Stream &) = delete;

        bool isOpen() const { return m_state != nullptr; }
        void add(QByteArray piece);
        // Waits until every byte added is in the hash, and gives it; adding may go on after.
        const std::shared_ptr<Sha256> &settled();

    private:
        friend class HashQueue;
        void abandon();

        HashQueue *m_queue = nullptr;
        std::shared_ptr<State> m_state;
    };

    // A stream that goes on from what hash holds already.
    Stream open(std::shared_ptr<Sha256> hash);
    // An empty buffer with room for capacity bytes, for a piece: one hashed before when there is
    // one, which spares the page faults of fresh memory.
    QByteArray buffer(qsizetype capacity);

private:
    void work();

    const int m_threadCount;
    const qsizetype m_perStream;
    const qsizetype m_total;
    std::mutex m_mutex;
    std::condition_variable m_ready;              // a stream has bytes waiting, or the queue ends
    std::condition_variable m_hashed;             // a piece was hashed or dropped: room, or a stream settled
    std::deque<std::shared_ptr<State>> m_waiting; // each stream at most once; none while it is hashed
    qsizetype m_queued = 0;                       // over all streams, until hashed
    std::vector<QByteArray> m_spare;              // hashed, kept for buffer(); at most perStream bytes
    qsizetype m_spareBytes = 0;
    bool m_ending = false;
    std::vector<std::thread> m_threads;
};
