#pragma once

#include "historyline.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QString>
#include <atomic>
#include <functional>
#include <optional>

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
    static constexpr int schemaVersion = 2;
    // Only this many characters of a line's text are indexed for search: one long line must not
    // cost the index more than a page of ordinary ones. The whole text is stored.
    static constexpr int indexedCharacters = 4000;

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
    enum class Inserted { Stored, SavingOff, Failed };
    // As insert(), but only while saving is on in the file, as read in the same transaction:
    // another instance sharing the file may have turned it off.
    Inserted insertWhileSaving(const HistoryLines &lines);

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

    // Called between the small transactions of a long task, so that the caller may store what
    // arrived meanwhile.
    using Between = std::function<void()>;

    // Removes the lines older than the keep period, counted back from the earlier of now and the
    // newest line stored (a clock set ahead then removes nothing it should keep). Lines dated in
    // the future are passed over. Returns how many lines went, -1 on failure.
    qint64 pruneByAge(int keepMonths, const QDateTime &now, const Between &between = {});

    struct BudgetResult
    {
        qint64 removed = 0;    // lines
        qint64 usedBefore = 0; // bytes in use
        qint64 usedAfter = 0;
        bool ok = true;
    };
    // Over the budget, what is removed is worked out once from the sizes the file reports: the
    // excess and 1 % of the budget. The senders whose lines take the most room lose their oldest
    // lines first, cut down to a common size, so that one sender's flood never evicts the others.
    // The index is then merged, so that what went is no longer counted.
    BudgetResult pruneToBudget(qint64 budgetBytes, const Between &between = {});
    // Bytes used by content (pages in use times the page size).
    qint64 usedBytes();

    // Damaged files set aside beside the history; those set aside before `before` (all when it is
    // invalid) are removed with their journals. Returns how many went.
    int removeSetAsideCopies(const QDateTime &before = {});

    enum class ClearResult {
        Done,
        Pending, // the lines are gone, but a reader still holds the journal: finishClear() later
        Failed
    };
    // Deletes every line and the set-aside copies. The tables are swapped for new ones at once and
    // the old ones emptied in small transactions with secure_delete, so that the write lock is
    // never held long; then the file is compacted and its journal emptied.
    ClearResult clear(const Between &between = {});
    // Empties the journal once its readers are gone; true when nothing of the cleared lines is left.
    bool finishClear();

    // Lines stored but not yet indexed, and indexing the oldest of them in one transaction:
    // how many were, -1 on failure.
    qint64 unindexed();
    int indexStep(int maxLines);

    // After a burst: the journal is emptied and cut back, unless a reader is using it.
    void trimJournal();

    // Work left from bringing an older file up to date, done a piece at a time: indexing the pairs
    // of the lines kept before, then the one-time compaction that turns on returning free pages.
    bool hasBackgroundWork();
    bool backgroundStep(const Between &between = {});

    // The settings as the file holds them; nothing when they cannot be read.
    std::optional<HistorySettings> readSettings();
    HistorySettings settings(); // the defaults when they cannot be read
    bool setSettings(const HistorySettings &settings);
    // One field each, so that a choice made in another instance meanwhile stays.
    bool setSaving(bool on);
    bool setKeepMonths(int months);
    // Changes whenever another connection, in this process or another, commits to the file.
    // -1 on failure.
    qint64 dataVersion();

    // The name of a damaged file set aside at the given local time.
    static QString setAsideName(const QString &path, const QDateTime &when);

private:
    static int waitWhileBusy(void *store, int count);
    OpenResult openOnce(const QString &path);
    bool exec(const char *sql);
    bool exec(const QByteArray &sql);
    bool fail(int rc);
    bool createSchema();
    bool createLineTables();
    bool indexUpTo(qint64 upTo);
    bool migrate(int from);
    qint64 settingValue(const char *key, qint64 otherwise);
    bool destroyCleared(const Between &between);
    BudgetResult pruneToBudgetOnce(qint64 budgetBytes, const Between &between);
    bool compactAndEmptyJournal();
    bool checkpointTruncated();
    bool deleteInPieces(const QByteArray &selectLast, const QByteArray &deleteUpTo, const Between &between,
                        qint64 *deleted = nullptr);
    HistoryLines select(const char *sql, const std::function<void(sqlite3_stmt *)> &bind,
                        const std::function<bool()> &cancelled = {});
    qint64 pragmaValue(const char *sql);
    qint64 pragmaValue(const QByteArray &sql) { return pragmaValue(sql.constData()); }
    Inserted insertLines(const HistoryLines &lines, bool onlyWhileSaving);
    void rollbackKeepingFailure();
    bool setSetting(const char *key, qint64 value);

    Options m_options;
    sqlite3 *m_db = nullptr;
    QString m_path;
    HistoryProblem m_problem = HistoryProblem::None;
    QString m_detail;
    bool m_corrupt = false;
    std::atomic<bool> m_abandoned{false};
    QElapsedTimer m_busySince;
};
