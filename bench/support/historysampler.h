#pragma once

#include <QString>
#include <QStringList>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace Bench {

// One look at a history file while an instance writes it.
struct HistorySample
{
    long long ns = 0;        // CLOCK_MONOTONIC
    long long maxId = -1;    // the newest line's id; -1 while the file cannot be read
    long long indexedTo = 0; // lines up to this id are in the search indexes
    long long walBytes = 0;  // the journal's size on disk
    long long handedIn = 0;  // lines the instance had handed to its history by then
    // The history's writer thread (its pooled thread at nice 10), from /proc: CPU time, time spent
    // runnable but waiting for a CPU, and its state ('R' running or runnable, 'S' asleep, 'D'
    // blocked on the disk); 0 while it is not known.
    long long writerCpuNs = 0;
    long long writerWaitNs = 0;
    char writerState = 0;

    long long unindexed() const { return maxId - indexedTo; }
};

// Samples a history file from a thread of its own, through a read-only connection of its own: a
// statement that reads two rows, so that it holds the journal for microseconds only. The journal's
// size comes from the file system.
class HistorySampler
{
public:
    HistorySampler(const QString &path, long long periodNs, const std::atomic<long long> &handedIn);
    ~HistorySampler();
    HistorySampler(const HistorySampler &) = delete;
    HistorySampler &operator=(const HistorySampler &) = delete;

    void stop();
    HistorySample latest() const;
    // After stop().
    const std::vector<HistorySample> &samples() const { return m_samples; }

private:
    void run(long long periodNs);
    HistorySample sample();
    void sampleWriter(HistorySample &sample);

    const QString m_path;
    const std::atomic<long long> &m_handedIn;
    sqlite3 *m_db = nullptr;
    sqlite3_stmt *m_statement = nullptr;
    int m_writerTid = 0;
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stopped = false;
    std::vector<HistorySample> m_samples;
    HistorySample m_latest;
    std::thread m_thread;
};

// The chat lines "<word> N" of one sender stored in a history file after an id.
struct StoredLines
{
    std::vector<bool> numbers; // by N
    long long lines = 0;
    long long duplicates = 0;
    QStringList gaps;   // the texts of the rows that record lines not kept
    long long rows = 0; // every row of the file
    QString error;
};

StoredLines readStoredLines(const QString &path, long long afterId, const QString &sender,
                            const QString &word);

} // namespace Bench
