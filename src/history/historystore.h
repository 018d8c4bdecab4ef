#pragma once

#include "historyline.h"

#include <QElapsedTimer>
#include <QString>
#include <atomic>
#include <functional>

struct sqlite3;
struct sqlite3_stmt;

// Why the history cannot be used; each is told to the user once.
enum class HistoryProblem {
    None,
    FolderNotWritable, // the file or its folder cannot be written
    DiskFull,
    Locked,       // another program held the file longer than the busy timeout
    NotADatabase, // a file of another kind has the history's name; it is left alone
    NewerSchema,  // written by a later version of the program; left alone
    Damaged,      // the file could not be set aside
    Failed        // anything else SQLite reports
};

// The user's choices about the history, kept in the history file itself.
struct HistorySettings
{
    bool saving = true;
    int keepMonths = 12; // 0: always

    bool operator==(const HistorySettings &) const = default;
};

// One connection to the history file. Not thread-safe: each thread that uses the file has a store
// of its own (SQLite's locking and the busy timeout share the file between them and with a second
// instance of the program).
class HistoryStore
{
public:
    static constexpr int schemaVersion = 1;

    struct Options
    {
        int busyTimeoutMs = 5000;
        int cacheKiB = 0; // the bound of the connection's page cache; 0: SQLite's own (2,000 KiB)
    };

    struct OpenResult
    {
        HistoryProblem problem = HistoryProblem::None;
        QString detail;       // SQLite's or the system's message
        QString setAsidePath; // where a damaged file was moved, when one was
    };

    explicit HistoryStore(Options options);
    HistoryStore();
    ~HistoryStore();
    HistoryStore(const HistoryStore &) = delete;
    HistoryStore &operator=(const HistoryStore &) = delete;

    // Opens or creates the file (mode 0600) and brings its schema up to date. A damaged SQLite file
    // is moved aside as path.broken-YYYYMMDD-HHMMSS (with its journal files) and a new one started,
    // unless mayStartAgain is false (a second connection to a file another one looks after).
    OpenResult open(const QString &path, bool mayStartAgain = true);
    // For damage found after opening: the file is moved aside and a new one opened.
    OpenResult startAgain();
    bool isOpen() const { return m_db != nullptr; }
    const QString &path() const { return m_path; }
    // The last failure of an operation below.
    HistoryProblem problem() const { return m_problem; }
    QString detail() const { return m_detail; }
    // True when the last failure was SQLITE_CORRUPT: the caller may set the file aside.
    bool lastWasCorrupt() const { return m_corrupt; }
    void close();
    // From any thread: waiting for a lock, and opening again after a busy answer, end at once from
    // now on (the operation fails as Locked). For the program's end.
    void abandon() { m_abandoned = true; }

    // All lines in one transaction; on failure none is stored. Ids of the stored lines are not
    // returned: readers find them by their order.
    bool insert(const HistoryLines &lines);

    // The newest lines before beforeId (0: from the newest), newest first.
    HistoryLines newest(int limit, qint64 beforeId = 0);
    // Lines whose name or text holds query (Latin letters in either case), newest first.
    // cancelled is polled while SQLite works; when it says true the search ends with no lines.
    HistoryLines search(const QString &query, int limit, qint64 beforeId = 0,
                        const std::function<bool()> &cancelled = {});
    // The line with the id and up to `each` lines before and after it, oldest first.
    HistoryLines around(qint64 id, int each);
    // Every line, oldest first, in pieces; stops when visit returns false.
    bool forEach(const std::function<bool(const HistoryLine &)> &visit);
    qint64 count();

    // Removes lines older than cutoffMs, and the oldest lines while the file's content is larger
    // than budgetBytes, in small transactions; gives the free pages back to the file system.
    // Stops after about maxLines; returns how many lines went, -1 on failure.
    qint64 prune(qint64 cutoffMs, qint64 budgetBytes, qint64 maxLines);
    // Bytes used by content (pages in use times the page size).
    qint64 usedBytes();

    // Deletes every line with secure_delete on, then vacuums and truncates the journal, so that
    // no text stays in free pages of the file or in its journal. Settings stay.
    bool clear();

    HistorySettings settings();
    bool setSettings(const HistorySettings &settings);

    // The name of a damaged file set aside at the given local time.
    static QString setAsideName(const QString &path, const QDateTime &when);

private:
    static int waitWhileBusy(void *store, int count);
    OpenResult openOnce(const QString &path);
    bool exec(const char *sql);
    bool fail(int rc);
    bool createSchema();
    bool migrate(int from);
    HistoryLines select(const char *sql, const std::function<void(sqlite3_stmt *)> &bind,
                        const std::function<bool()> &cancelled = {});
    qint64 pragmaValue(const char *sql);

    Options m_options;
    sqlite3 *m_db = nullptr;
    QString m_path;
    HistoryProblem m_problem = HistoryProblem::None;
    QString m_detail;
    bool m_corrupt = false;
    std::atomic<bool> m_abandoned{false};
    QElapsedTimer m_busySince;
};
