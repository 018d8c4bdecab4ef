#include "historysampler.h"

#include "clocks.h"
#include "threadtimes.h"

#include <QFile>
#include <sqlite3.h>
#include <sys/stat.h>

#include <chrono>

namespace Bench {

namespace {

long long fileSize(const QByteArray &path)
{
    struct stat status
    {
    };
    return ::stat(path.constData(), &status) == 0 ? (long long)status.st_size : 0;
}

} // namespace

HistorySampler::HistorySampler(const QString &path, long long periodNs,
                               const std::atomic<long long> &handedIn)
    : m_path(path), m_handedIn(handedIn), m_thread([this, periodNs] { run(periodNs); })
{
}

HistorySampler::~HistorySampler()
{
    stop();
    sqlite3_finalize(m_statement);
    sqlite3_close_v2(m_db);
}

void HistorySampler::stop()
{
    {
        std::lock_guard lock(m_mutex);
        m_stopped = true;
    }
    m_wake.notify_all();
    if (m_thread.joinable())
        m_thread.join();
}

HistorySample HistorySampler::latest() const
{
    std::lock_guard lock(m_mutex);
    return m_latest;
}

HistorySample HistorySampler::sample()
{
    HistorySample s;
    s.handedIn = m_handedIn.load();
    const QByteArray native = QFile::encodeName(m_path);
    s.walBytes = fileSize(native + "-wal");
    if (!m_db && sqlite3_open_v2(native.constData(), &m_db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX,
                                 nullptr) != SQLITE_OK) {
        sqlite3_close_v2(m_db);
        m_db = nullptr;
    }
    if (m_db && !m_statement) {
        sqlite3_busy_timeout(m_db, 100);
        sqlite3_prepare_v2(m_db,
                           "SELECT (SELECT coalesce(max(id), 0) FROM line), "
                           "coalesce((SELECT value FROM setting WHERE key = 'indexed_to'), 0)",
                           -1, &m_statement, nullptr);
    }
    if (m_statement) {
        if (sqlite3_step(m_statement) == SQLITE_ROW) {
            s.maxId = sqlite3_column_int64(m_statement, 0);
            s.indexedTo = sqlite3_column_int64(m_statement, 1);
        }
        sqlite3_reset(m_statement);
    }
    // The time goes with the writer's counters, read last.
    s.ns = monotonicNs();
    sampleWriter(s);
    return s;
}

void HistorySampler::sampleWriter(HistorySample &sample)
{
    // The writer lowers its priority when it first writes; the reader, idle here, only when asked.
    if (!m_writerTid) {
        double most = -1;
        for (const ThreadTime &thread : threadTimes()) {
            if (thread.nice == 10 && thread.name.startsWith(QLatin1String("Thread (pooled)")) &&
                thread.cpuSeconds > most) {
                most = thread.cpuSeconds;
                m_writerTid = thread.tid;
            }
        }
        if (!m_writerTid)
            return;
    }
    const QByteArray task = "/proc/self/task/" + QByteArray::number(m_writerTid);
    QFile schedstat(QString::fromLatin1(task + "/schedstat"));
    QFile stat(QString::fromLatin1(task + "/stat"));
    if (!schedstat.open(QIODevice::ReadOnly) || !stat.open(QIODevice::ReadOnly))
        return;
    const QList<QByteArray> times = schedstat.readAll().simplified().split(' ');
    const QByteArray status = stat.readAll();
    const qsizetype close = status.lastIndexOf(')');
    if (times.size() < 2 || close < 0 || close + 2 >= status.size())
        return;
    sample.writerCpuNs = times.at(0).toLongLong();
    sample.writerWaitNs = times.at(1).toLongLong();
    sample.writerState = status.at(close + 2);
}

void HistorySampler::run(long long periodNs)
{
    m_samples.reserve(20000);
    long long next = monotonicNs();
    std::unique_lock lock(m_mutex);
    while (!m_stopped) {
        lock.unlock();
        const HistorySample s = sample();
        lock.lock();
        m_latest = s;
        if (m_samples.size() < 100000)
            m_samples.push_back(s);
        next += periodNs;
        while (!m_stopped && monotonicNs() < next)
            m_wake.wait_for(lock, std::chrono::nanoseconds(next - monotonicNs()));
    }
}

StoredLines readStoredLines(const QString &path, long long afterId, const QString &sender,
                            const QString &word)
{
    StoredLines stored;
    sqlite3 *db = nullptr;
    if (sqlite3_open_v2(QFile::encodeName(path).constData(), &db, SQLITE_OPEN_READONLY, nullptr) !=
        SQLITE_OK) {
        stored.error = QString::fromUtf8(sqlite3_errmsg(db));
        sqlite3_close_v2(db);
        return stored;
    }
    const QByteArray prefix = word.toUtf8() + ' ';
    const QByteArray name = sender.toUtf8();
    sqlite3_stmt *statement = nullptr;
    sqlite3_prepare_v2(db, "SELECT kind, name, text FROM line WHERE id > ?1", -1, &statement, nullptr);
    sqlite3_bind_int64(statement, 1, afterId);
    int rc;
    while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
        const int kind = sqlite3_column_int(statement, 0);
        const QByteArray rowName(reinterpret_cast<const char *>(sqlite3_column_text(statement, 1)),
                                 sqlite3_column_bytes(statement, 1));
        const QByteArray text(reinterpret_cast<const char *>(sqlite3_column_text(statement, 2)),
                              sqlite3_column_bytes(statement, 2));
        if (kind == 5) // HistoryLine::Kind::Gap
            stored.gaps.append(QString::fromUtf8(text));
        if (kind != 0 || rowName != name || !text.startsWith(prefix))
            continue;
        bool ok = false;
        const long long number = text.mid(prefix.size()).toLongLong(&ok);
        if (!ok || number < 1 || number > 100000000)
            continue;
        if (size_t(number) >= stored.numbers.size())
            stored.numbers.resize(size_t(number) + 1);
        if (stored.numbers[size_t(number)])
            ++stored.duplicates;
        stored.numbers[size_t(number)] = true;
        ++stored.lines;
    }
    if (rc != SQLITE_DONE)
        stored.error = QString::fromUtf8(sqlite3_errmsg(db));
    sqlite3_finalize(statement);
    sqlite3_prepare_v2(db, "SELECT count(*) FROM line", -1, &statement, nullptr);
    if (sqlite3_step(statement) == SQLITE_ROW)
        stored.rows = sqlite3_column_int64(statement, 0);
    sqlite3_finalize(statement);
    sqlite3_close_v2(db);
    return stored;
}

} // namespace Bench
