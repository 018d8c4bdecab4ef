#include "historystore.h"

#include "base/systemerror.h"
#include "pairindex.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QThread>
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <limits>
#include <memory>

namespace {

struct StatementFinalizer
{
    void operator()(sqlite3_stmt *statement) const { sqlite3_finalize(statement); }
};
using Statement = std::unique_ptr<sqlite3_stmt, StatementFinalizer>;

constexpr const char *lineColumns =
    "id, time, utc_offset, kind, port, selected, name, address, text, recipients";

// The line table and two external indexes. Text search of three and more characters uses the
// trigram tokenizer: Japanese has no spaces between words, and a trigram index finds any substring
// of three characters or more, Latin letters in either case. Shorter searches use the pairs of
// neighbouring characters (PairIndex), without positions, which keeps it small. Both index only the
// first indexedCharacters of a text. Lines are indexed by the writer up to the setting indexed_to,
// in the transaction that stores them or, after a burst, a piece at a time: storing never waits
// for the index. Lines with an id up to the setting pair_backlog came from an older file: their
// pairs are not indexed yet, and their trigrams may cover the whole text. A trigger takes a
// deleted line out of the indexes that hold it.
constexpr const char *lineTableSql = R"(
CREATE TABLE line(
    id INTEGER PRIMARY KEY,
    time INTEGER NOT NULL,
    utc_offset INTEGER NOT NULL,
    kind INTEGER NOT NULL,
    port INTEGER NOT NULL,
    selected INTEGER NOT NULL,
    name TEXT NOT NULL,
    address TEXT NOT NULL,
    text TEXT NOT NULL,
    recipients TEXT NOT NULL);
CREATE VIRTUAL TABLE line_text USING fts5(name, text, content='line', content_rowid='id',
    tokenize='trigram case_sensitive 0');
)";

constexpr const char *pairTableSql = R"(
CREATE VIRTUAL TABLE line_pairs USING fts5(name, text, content='', detail=none, columnsize=0,
    tokenize='zumzum_pairs');
)";

constexpr const char *triggersSql = R"(
CREATE TRIGGER line_removed AFTER DELETE ON line
WHEN old.id <= coalesce((SELECT value FROM setting WHERE key = 'indexed_to'), 0) BEGIN
    INSERT INTO line_text(line_text, rowid, name, text) VALUES ('delete', old.id, old.name,
        CASE WHEN old.id <= coalesce((SELECT value FROM setting WHERE key = 'pair_backlog'), 0)
             THEN old.text ELSE substr(old.text, 1, 4000) END);
    INSERT INTO line_pairs(line_pairs, rowid, name, text)
        SELECT 'delete', old.id, old.name, substr(old.text, 1, 4000)
        WHERE old.id > coalesce((SELECT value FROM setting WHERE key = 'pair_backlog'), 0);
END;
)";
static_assert(HistoryStore::indexedCharacters == 4000, "the triggers above index 4000 characters");

QByteArray utf8(const QString &text)
{
    return text.toUtf8();
}

void bindText(sqlite3_stmt *statement, int index, const QString &text)
{
    const QByteArray bytes = utf8(text);
    sqlite3_bind_text(statement, index, bytes.constData(), int(bytes.size()), SQLITE_TRANSIENT);
}

QString columnText(sqlite3_stmt *statement, int column)
{
    return QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(statement, column)),
                             sqlite3_column_bytes(statement, column));
}

HistoryLine readLine(sqlite3_stmt *statement)
{
    HistoryLine line;
    line.id = sqlite3_column_int64(statement, 0);
    line.timeMs = sqlite3_column_int64(statement, 1);
    line.utcOffset = sqlite3_column_int(statement, 2);
    line.kind = HistoryLine::Kind(sqlite3_column_int(statement, 3));
    line.port = quint16(sqlite3_column_int(statement, 4));
    line.selectedOnly = sqlite3_column_int(statement, 5) != 0;
    line.name = columnText(statement, 6);
    line.address = columnText(statement, 7);
    line.text = columnText(statement, 8);
    line.recipients = columnText(statement, 9);
    return line;
}

int progressCallback(void *context)
{
    const auto *cancelled = static_cast<const std::function<bool()> *>(context);
    return (*cancelled)() ? 1 : 0;
}

bool hasSqliteHeader(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return true; // unreadable: SQLite will say why
    if (file.size() == 0)
        return true; // an empty file is an empty database
    return file.read(16) == QByteArray("SQLite format 3\0", 16);
}

} // namespace

HistoryStore::HistoryStore(Options options) : m_options(options) {}

HistoryStore::HistoryStore() : HistoryStore(Options{}) {}

HistoryStore::~HistoryStore()
{
    close();
}

void HistoryStore::close()
{
    if (m_db)
        sqlite3_close_v2(m_db);
    m_db = nullptr;
}

QString HistoryStore::setAsideName(const QString &path, const QDateTime &when)
{
    return path + QStringLiteral(".broken-") + when.toString(QStringLiteral("yyyyMMdd-HHmmss"));
}

HistoryStore::OpenResult HistoryStore::open(const QString &path, bool mayStartAgain)
{
    OpenResult result = openOnce(path);
    // Two instances starting together (both at login) meet while one creates the tables or turns
    // on WAL; SQLite then answers busy at once for some steps without waiting. The whole opening is
    // tried again until the busy timeout has passed. It runs on a worker thread.
    QElapsedTimer waited;
    waited.start();
    while (result.problem == HistoryProblem::Locked && waited.elapsed() < m_options.busyTimeoutMs &&
           !m_abandoned) {
        QThread::msleep(20);
        result = openOnce(path);
    }
    if (!m_corrupt || !mayStartAgain)
        return result;
    return startAgain();
}

HistoryStore::OpenResult HistoryStore::startAgain()
{
    close();
    const QString path = m_path;
    // Nothing the user had is deleted: the file and its journal move aside, a new file starts.
    const QString aside = setAsideName(path, QDateTime::currentDateTime());
    if (!QFile::rename(path, aside)) {
        m_problem = HistoryProblem::Damaged;
        return {HistoryProblem::Damaged, m_detail, {}};
    }
    for (const char *suffix : {"-wal", "-shm"}) {
        const QString journal = path + QLatin1String(suffix);
        if (QFile::exists(journal))
            QFile::rename(journal, aside + QLatin1String(suffix));
    }
    OpenResult result = openOnce(path);
    result.setAsidePath = aside;
    return result;
}

HistoryStore::OpenResult HistoryStore::openOnce(const QString &path)
{
    close();
    m_path = path;
    m_problem = HistoryProblem::None;
    m_detail.clear();
    m_corrupt = false;
    const auto problem = [this](HistoryProblem kind, const QString &detail) {
        close();
        m_problem = kind;
        m_detail = detail;
        return OpenResult{kind, detail, {}};
    };

    const QByteArray nativePath = QFile::encodeName(path);
    if (QFileInfo::exists(path)) {
        if (!hasSqliteHeader(path))
            return problem(HistoryProblem::NotADatabase, {});
        ::chmod(nativePath.constData(), 0600);
    } else {
        // Created here so that it is the user's alone from the first byte; the journal files
        // SQLite makes take the database file's mode.
        const int fd = ::open(nativePath.constData(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0600);
        // EEXIST: another instance made it meanwhile, which SQLite opens like any other.
        if (fd < 0 && errno != EEXIST) {
            const int error = errno;
            return problem(error == ENOSPC ? HistoryProblem::DiskFull : HistoryProblem::FolderNotWritable,
                           SystemError::text(error));
        }
        if (fd >= 0)
            ::close(fd);
    }

    if (const int rc = sqlite3_open_v2(nativePath.constData(), &m_db,
                                       SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
        rc != SQLITE_OK) {
        fail(rc);
        return problem(m_problem, m_detail);
    }
    sqlite3_extended_result_codes(m_db, 1);
    sqlite3_busy_handler(m_db, &HistoryStore::waitWhileBusy, this);
    if (!PairIndex::install(m_db))
        return problem(HistoryProblem::Failed, QStringLiteral("the pair index cannot be installed"));
    if (sqlite3_db_readonly(m_db, "main") == 1)
        return problem(HistoryProblem::FolderNotWritable, QStringLiteral("read-only"));

    const qint64 version = pragmaValue("PRAGMA user_version");
    if (version < 0)
        return problem(m_problem, m_detail);
    if (version > schemaVersion)
        return problem(HistoryProblem::NewerSchema, QString::number(version));
    // Freed pages can be given back without a full vacuum. SQLite takes this only before the
    // file's header is written, which turning on WAL does.
    if (version == 0 && !exec("PRAGMA auto_vacuum=INCREMENTAL"))
        return problem(m_problem, m_detail);
    // WAL: a committed batch survives the process being killed, and readers never wait for the
    // writer. NORMAL: durable across a crash of the program; only a power loss may lose the last
    // transactions, never the file. secure_delete: what is deleted is overwritten, on every
    // connection and for good. The journal is cut back to 4 MiB after a burst has been written.
    if (!exec("PRAGMA journal_mode=WAL") || !exec("PRAGMA synchronous=NORMAL") ||
        !exec("PRAGMA secure_delete=ON") || !exec("PRAGMA journal_size_limit=4194304"))
        return problem(m_problem, m_detail);
    if (m_options.cacheKiB > 0 &&
        !exec(QByteArray("PRAGMA cache_size=-" + QByteArray::number(m_options.cacheKiB)).constData()))
        return problem(m_problem, m_detail);
    if (version < schemaVersion && !migrate(int(version)))
        return problem(m_problem, m_detail);
    return {};
}

bool HistoryStore::migrate(int from)
{
    // Each step brings the file up in one transaction that sets the version; a second instance may
    // have done it while this one waited for the lock.
    if (!exec("BEGIN IMMEDIATE"))
        return false;
    const qint64 current = pragmaValue("PRAGMA user_version");
    bool done = current >= schemaVersion;
    if (!done && current == 0 && from == 0)
        done = createSchema();
    else if (!done && current == 1) {
        // Version 2 adds the pair index, and indexes a prefix of long texts. The lines already
        // kept are indexed afterwards, a piece at a time (backgroundStep); the file is compacted
        // once to turn on returning free pages, which a version 1 file lacks.
        const QByteArray backlog = QByteArrayLiteral("INSERT OR REPLACE INTO setting(key, value) VALUES "
                                                     "('pair_backlog', (SELECT coalesce(max(id), 0) FROM "
                                                     "line)), ('vacuum_pending', 1)");
        done = exec(pairTableSql) && exec("DROP TRIGGER line_added; DROP TRIGGER line_removed;") &&
               exec(triggersSql) && exec(backlog.constData()) && exec("PRAGMA user_version=2");
    }
    if (!done) {
        rollbackKeepingFailure();
        return false;
    }
    return exec("COMMIT");
}

bool HistoryStore::createSchema()
{
    return exec("CREATE TABLE setting(key TEXT PRIMARY KEY, value INTEGER NOT NULL) WITHOUT ROWID") &&
           createLineTables() && exec("PRAGMA user_version=2");
}

bool HistoryStore::createLineTables()
{
    return exec(lineTableSql) && exec(pairTableSql) && exec(triggersSql);
}

qint64 HistoryStore::settingValue(const char *key, qint64 otherwise)
{
    const QByteArray sql = QByteArrayLiteral("SELECT coalesce((SELECT value FROM setting WHERE key = '") +
                           key + "'), " + QByteArray::number(otherwise) + ")";
    return pragmaValue(sql.constData());
}

bool HistoryStore::exec(const QByteArray &sql)
{
    return exec(sql.constData());
}

// SQLite's busy timeout, in steps short enough that abandon() ends the wait at once.
int HistoryStore::waitWhileBusy(void *context, int count)
{
    auto *store = static_cast<HistoryStore *>(context);
    if (count == 0)
        store->m_busySince.start();
    const qint64 left = store->m_options.busyTimeoutMs - store->m_busySince.elapsed();
    if (store->m_abandoned || left <= 0)
        return 0;
    QThread::msleep(std::min<qint64>(left, 10));
    return 1;
}

bool HistoryStore::exec(const char *sql)
{
    if (!m_db)
        return false;
    const int rc = sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr);
    return rc == SQLITE_OK || fail(rc);
}

bool HistoryStore::fail(int rc)
{
    m_corrupt = false;
    switch (rc & 0xff) {
    case SQLITE_FULL: m_problem = HistoryProblem::DiskFull; break;
    case SQLITE_BUSY:
    case SQLITE_LOCKED: m_problem = HistoryProblem::Locked; break;
    case SQLITE_READONLY:
    case SQLITE_CANTOPEN:
    case SQLITE_PERM:
    case SQLITE_AUTH: m_problem = HistoryProblem::FolderNotWritable; break;
    case SQLITE_NOTADB:
    case SQLITE_CORRUPT:
        m_problem = HistoryProblem::Damaged;
        m_corrupt = true;
        break;
    case SQLITE_INTERRUPT: m_problem = HistoryProblem::None; break;
    default: m_problem = HistoryProblem::Failed;
    }
    m_detail = m_db ? QString::fromUtf8(sqlite3_errmsg(m_db)) : QString::fromUtf8(sqlite3_errstr(rc));
    return false;
}

qint64 HistoryStore::pragmaValue(const char *sql)
{
    if (!m_db)
        return -1;
    sqlite3_stmt *raw = nullptr;
    int rc = sqlite3_prepare_v2(m_db, sql, -1, &raw, nullptr);
    Statement statement(raw);
    if (rc != SQLITE_OK)
        return fail(rc), -1;
    rc = sqlite3_step(raw);
    if (rc == SQLITE_ROW)
        return sqlite3_column_int64(raw, 0);
    if (rc == SQLITE_DONE)
        return 0;
    return fail(rc), -1;
}

bool HistoryStore::insert(const HistoryLines &lines)
{
    return insertLines(lines, false) == Inserted::Stored;
}

HistoryStore::Inserted HistoryStore::insertWhileSaving(const HistoryLines &lines)
{
    return insertLines(lines, true);
}

void HistoryStore::rollbackKeepingFailure()
{
    const HistoryProblem problem = m_problem;
    const QString detail = m_detail;
    const bool corrupt = m_corrupt;
    sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
    m_problem = problem;
    m_detail = detail;
    m_corrupt = corrupt;
}

HistoryStore::Inserted HistoryStore::insertLines(const HistoryLines &lines, bool onlyWhileSaving)
{
    if (!m_db)
        return Inserted::Failed;
    if (lines.isEmpty())
        return Inserted::Stored;
    // IMMEDIATE: the write lock is taken (or waited for) at the start, never half-way.
    if (!exec("BEGIN IMMEDIATE"))
        return Inserted::Failed;
    if (onlyWhileSaving) {
        const qint64 saving =
            pragmaValue("SELECT coalesce((SELECT value FROM setting WHERE key = 'saving'), 1)");
        if (saving <= 0) {
            rollbackKeepingFailure();
            return saving == 0 ? Inserted::SavingOff : Inserted::Failed;
        }
    }
    // A batch is indexed with it while the index is up to date and the batch small; after a burst
    // the index catches up a piece at a time (indexStep), so that storing keeps pace.
    const qint64 lag = unindexed();
    sqlite3_stmt *raw = nullptr;
    int rc =
        sqlite3_prepare_v2(m_db,
                           "INSERT INTO line(time, utc_offset, kind, port, selected, name, address, text, "
                           "recipients) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)",
                           -1, &raw, nullptr);
    Statement statement(raw);
    for (const HistoryLine &line : lines) {
        if (rc != SQLITE_OK)
            break;
        sqlite3_bind_int64(raw, 1, line.timeMs);
        sqlite3_bind_int(raw, 2, line.utcOffset);
        sqlite3_bind_int(raw, 3, int(line.kind));
        sqlite3_bind_int(raw, 4, line.port);
        sqlite3_bind_int(raw, 5, line.selectedOnly ? 1 : 0);
        bindText(raw, 6, line.name);
        bindText(raw, 7, line.address);
        bindText(raw, 8, line.text);
        bindText(raw, 9, line.recipients);
        rc = sqlite3_step(raw);
        if (rc == SQLITE_DONE)
            rc = SQLITE_OK;
        sqlite3_reset(raw);
    }
    statement.reset();
    bool indexed = true;
    if (rc == SQLITE_OK && lag == 0 && lines.size() <= 1000)
        indexed = indexUpTo(sqlite3_last_insert_rowid(m_db));
    if (rc != SQLITE_OK || !indexed) {
        if (rc != SQLITE_OK)
            fail(rc);
        rollbackKeepingFailure();
        return Inserted::Failed;
    }
    if (!exec("COMMIT")) {
        sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
        return Inserted::Failed;
    }
    return Inserted::Stored;
}

HistoryLines HistoryStore::select(const char *sql, const std::function<void(sqlite3_stmt *)> &bind,
                                  const std::function<bool()> &cancelled)
{
    HistoryLines lines;
    if (!m_db)
        return lines;
    sqlite3_stmt *raw = nullptr;
    const int prepared = sqlite3_prepare_v2(m_db, sql, -1, &raw, nullptr);
    Statement statement(raw);
    if (prepared != SQLITE_OK) {
        fail(prepared);
        return lines;
    }
    bind(raw);
    if (cancelled && cancelled())
        return lines;
    if (cancelled)
        sqlite3_progress_handler(m_db, 100, progressCallback,
                                 const_cast<std::function<bool()> *>(&cancelled));
    int rc;
    while ((rc = sqlite3_step(raw)) == SQLITE_ROW)
        lines.append(readLine(raw));
    if (cancelled)
        sqlite3_progress_handler(m_db, 0, nullptr, nullptr);
    if (rc != SQLITE_DONE) {
        fail(rc);
        lines.clear();
    }
    return lines;
}

HistoryLines HistoryStore::newest(int limit, qint64 beforeId)
{
    const QByteArray sql =
        QByteArrayLiteral("SELECT ") + lineColumns + " FROM line WHERE id < ?1 ORDER BY id DESC LIMIT ?2";
    return select(sql.constData(), [&](sqlite3_stmt *statement) {
        sqlite3_bind_int64(statement, 1, beforeId > 0 ? beforeId : std::numeric_limits<qint64>::max());
        sqlite3_bind_int(statement, 2, limit);
    });
}

HistoryLines HistoryStore::search(const QString &query, int limit, qint64 beforeId,
                                  const std::function<bool()> &cancelled)
{
    const QString needle = query.trimmed();
    if (needle.isEmpty())
        return newest(limit, beforeId);
    m_problem = HistoryProblem::None;
    const qint64 before = beforeId > 0 ? beforeId : std::numeric_limits<qint64>::max();
    const qint64 indexedTo = settingValue("indexed_to", 0);
    const qint64 backlog = settingValue("pair_backlog", 0);
    if (indexedTo < 0 || backlog < 0)
        return {};
    const qsizetype characters = needle.toUcs4().size();
    const QString folded = PairIndex::fold(needle);
    // A needle without case is compared as bytes, which is several times faster than folding.
    const bool caseless = folded == needle && needle.toUpper() == needle && needle.toLower() == needle;
    const QByteArray columns = QByteArrayLiteral("SELECT ") + lineColumns;
    HistoryLines lines;
    const auto done = [&] {
        return m_problem != HistoryProblem::None || lines.size() >= limit || (cancelled && cancelled());
    };
    // The lines a query finds with an id in (low, high), newest first, up to the limit.
    const auto inRange = [&](const QByteArray &where, const QString &argument, qint64 low, qint64 high) {
        if (high <= low + 1 || done())
            return;
        const QByteArray sql = columns + " FROM line WHERE " + where + " ORDER BY id DESC LIMIT ?3";
        lines += select(
            sql.constData(),
            [&](sqlite3_stmt *statement) {
                bindText(statement, 1, argument);
                sqlite3_bind_int64(statement, 2, high);
                sqlite3_bind_int(statement, 3, limit - int(lines.size()));
                sqlite3_bind_int64(statement, 4, low);
            },
            cancelled);
    };
    // Looked for in the lines themselves, as the indexes would find them.
    const auto scan = [&](qint64 low, qint64 high) {
        inRange("id > ?4 AND id < ?2 AND zumzum_holds(text, " + QByteArray::number(indexedCharacters) +
                    ", name, ?1, " + (caseless ? "0" : "1") + ")",
                folded, low, high);
    };
    const auto indexed = [&](const char *table, const QString &match, qint64 low, qint64 high) {
        inRange(QByteArrayLiteral("id IN (SELECT rowid FROM ") + table + " WHERE " + table +
                    " MATCH ?1 AND rowid < ?2 AND rowid > ?4 ORDER BY rowid DESC LIMIT ?3)",
                match, low, high);
    };
    // The newest lines, which a burst may have left unindexed, come first.
    scan(indexedTo, before);
    const qint64 top = std::min(before, indexedTo + 1);
    if (characters >= 3) {
        QString phrase = needle;
        phrase.replace(u'"', QStringLiteral("\"\""));
        indexed("line_text", u'"' + phrase + u'"', 0, top);
        return lines;
    }
    // One character is a prefix of many pairs, which costs the index more than a look at the
    // newest lines when the character is common: those are looked at first.
    qint64 pairsTop = top;
    if (characters == 1) {
        const qint64 low = std::max(backlog, top - 10000);
        scan(low, top);
        pairsTop = low + 1;
    }
    indexed("line_pairs", PairIndex::matchExpression(needle), backlog, pairsTop);
    // Lines of an older file not in the pair index yet.
    scan(0, std::min(pairsTop, backlog + 1));
    return lines;
}

HistoryLines HistoryStore::around(qint64 id, int each)
{
    const QByteArray before =
        QByteArrayLiteral("SELECT ") + lineColumns + " FROM line WHERE id <= ?1 ORDER BY id DESC LIMIT ?2";
    const QByteArray after =
        QByteArrayLiteral("SELECT ") + lineColumns + " FROM line WHERE id > ?1 ORDER BY id LIMIT ?2";
    const auto bind = [&](int count) {
        return [id, count](sqlite3_stmt *statement) {
            sqlite3_bind_int64(statement, 1, id);
            sqlite3_bind_int(statement, 2, count);
        };
    };
    HistoryLines lines = select(before.constData(), bind(each + 1));
    std::reverse(lines.begin(), lines.end());
    lines += select(after.constData(), bind(each));
    return lines;
}

bool HistoryStore::forEach(const std::function<bool(const HistoryLine &)> &visit)
{
    const QByteArray sql =
        QByteArrayLiteral("SELECT ") + lineColumns + " FROM line WHERE id > ?1 ORDER BY id LIMIT 5000";
    qint64 last = 0;
    m_problem = HistoryProblem::None; // what failed before does not end this
    for (;;) {
        const HistoryLines piece =
            select(sql.constData(), [&](sqlite3_stmt *statement) { sqlite3_bind_int64(statement, 1, last); });
        if (m_problem != HistoryProblem::None)
            return false;
        if (piece.isEmpty())
            return true;
        for (const HistoryLine &line : piece) {
            if (!visit(line))
                return true;
        }
        last = piece.last().id;
    }
}

qint64 HistoryStore::count()
{
    return pragmaValue("SELECT count(*) FROM line");
}

qint64 HistoryStore::usedBytes()
{
    const qint64 pages = pragmaValue("PRAGMA page_count");
    const qint64 free = pragmaValue("PRAGMA freelist_count");
    const qint64 pageSize = pragmaValue("PRAGMA page_size");
    if (pages < 0 || free < 0 || pageSize < 0)
        return -1;
    return (pages - free) * pageSize;
}

bool HistoryStore::deleteInPieces(const QByteArray &selectLast, const QByteArray &deleteUpTo,
                                  const Between &between, qint64 *deleted)
{
    // selectLast gives the last id of the next piece after ?1 (NULL when none is left);
    // deleteUpTo deletes from after ?1 up to ?2. Each piece is a transaction of its own.
    qint64 last = 0;
    for (;;) {
        // The program's end does not wait for the rest; it is done at the next start.
        if (m_abandoned)
            return false;
        sqlite3_stmt *raw = nullptr;
        int rc = sqlite3_prepare_v2(m_db, selectLast.constData(), -1, &raw, nullptr);
        Statement select(raw);
        if (rc != SQLITE_OK)
            return fail(rc);
        sqlite3_bind_int64(raw, 1, last);
        rc = sqlite3_step(raw);
        if (rc != SQLITE_ROW && rc != SQLITE_DONE)
            return fail(rc);
        if (rc == SQLITE_DONE || sqlite3_column_type(raw, 0) == SQLITE_NULL)
            return true;
        const qint64 upTo = sqlite3_column_int64(raw, 0);
        select.reset();
        rc = sqlite3_prepare_v2(m_db, deleteUpTo.constData(), -1, &raw, nullptr);
        Statement remove(raw);
        if (rc != SQLITE_OK)
            return fail(rc);
        sqlite3_bind_int64(raw, 1, last);
        sqlite3_bind_int64(raw, 2, upTo);
        if (rc = sqlite3_step(raw); rc != SQLITE_DONE)
            return fail(rc);
        if (deleted)
            *deleted += sqlite3_changes64(m_db);
        last = upTo;
        if (between)
            between();
    }
}

qint64 HistoryStore::pruneByAge(int keepMonths, const QDateTime &now, const Between &between)
{
    if (!m_db)
        return -1;
    if (keepMonths <= 0)
        return 0;
    // The newest line stored, not the newest time: a line dated in the future does not move it.
    sqlite3_stmt *raw = nullptr;
    int rc = sqlite3_prepare_v2(m_db, "SELECT time FROM line ORDER BY id DESC LIMIT 1", -1, &raw, nullptr);
    Statement newest(raw);
    if (rc != SQLITE_OK)
        return fail(rc), -1;
    rc = sqlite3_step(raw);
    if (rc == SQLITE_DONE)
        return 0;
    if (rc != SQLITE_ROW)
        return fail(rc), -1;
    const qint64 nowMs = now.toMSecsSinceEpoch();
    const qint64 anchor = std::min(nowMs, sqlite3_column_int64(raw, 0));
    newest.reset();
    const qint64 cutoff = QDateTime::fromMSecsSinceEpoch(anchor).addMonths(-keepMonths).toMSecsSinceEpoch();

    // Lines come in time order but for a clock that was wrong: pieces of the oldest ids are looked
    // at until one holds nothing to remove and a line of the kept period (not one dated ahead).
    qint64 removed = 0;
    qint64 last = 0;
    while (!m_abandoned) {
        rc = sqlite3_prepare_v2(m_db,
                                "SELECT max(id), sum(time < ?2), sum(time >= ?2 AND time <= ?3) FROM "
                                "(SELECT id, time FROM line WHERE id > ?1 ORDER BY id LIMIT 2000)",
                                -1, &raw, nullptr);
        Statement look(raw);
        if (rc != SQLITE_OK)
            return fail(rc), -1;
        sqlite3_bind_int64(raw, 1, last);
        sqlite3_bind_int64(raw, 2, cutoff);
        sqlite3_bind_int64(raw, 3, anchor);
        if (rc = sqlite3_step(raw); rc != SQLITE_ROW)
            return fail(rc), -1;
        if (sqlite3_column_type(raw, 0) == SQLITE_NULL)
            break;
        const qint64 upTo = sqlite3_column_int64(raw, 0);
        const qint64 old = sqlite3_column_int64(raw, 1);
        const qint64 current = sqlite3_column_int64(raw, 2);
        look.reset();
        if (old > 0) {
            rc = sqlite3_prepare_v2(m_db, "DELETE FROM line WHERE id > ?1 AND id <= ?2 AND time < ?3", -1,
                                    &raw, nullptr);
            Statement remove(raw);
            if (rc != SQLITE_OK)
                return fail(rc), -1;
            sqlite3_bind_int64(raw, 1, last);
            sqlite3_bind_int64(raw, 2, upTo);
            sqlite3_bind_int64(raw, 3, cutoff);
            if (rc = sqlite3_step(raw); rc != SQLITE_DONE)
                return fail(rc), -1;
            removed += sqlite3_changes(m_db);
            if (between)
                between();
        } else if (current > 0) {
            break;
        }
        last = upTo;
    }
    if (removed > 0 && !exec("PRAGMA incremental_vacuum"))
        return -1;
    return removed;
}

HistoryStore::BudgetResult HistoryStore::pruneToBudget(qint64 budgetBytes, const Between &between)
{
    // Each round measures the file after the index was merged, so that a round never removes
    // again what the one before already took; an estimate that fell short is made up by the next.
    BudgetResult total = pruneToBudgetOnce(budgetBytes, between);
    for (int round = 1; round < 3 && total.ok && total.removed > 0 && total.usedAfter > budgetBytes;
         ++round) {
        const BudgetResult more = pruneToBudgetOnce(budgetBytes, between);
        total.removed += more.removed;
        total.usedAfter = more.usedAfter;
        total.ok = more.ok;
    }
    return total;
}

HistoryStore::BudgetResult HistoryStore::pruneToBudgetOnce(qint64 budgetBytes, const Between &between)
{
    BudgetResult result;
    result.usedBefore = result.usedAfter = usedBytes();
    if (result.usedBefore < 0)
        return {0, 0, 0, false};
    if (result.usedBefore <= budgetBytes)
        return result;

    // What a line costs, roughly: its bytes, and the index of its first characters. Only the share
    // of each sender matters; the file's own size turns it into bytes.
    const QByteArray weight = QByteArrayLiteral(
        "(48 + length(CAST(text AS BLOB)) + length(CAST(name AS BLOB)) + length(CAST(address AS BLOB)) + "
        "length(CAST(recipients AS BLOB)) + 3 * (min(length(text), 4000) + length(name)))");
    struct Sender
    {
        QString address;
        double weight;
    };
    std::vector<Sender> senders;
    double total = 0;
    {
        sqlite3_stmt *raw = nullptr;
        const QByteArray sql = "SELECT address, sum" + weight + " FROM line GROUP BY address";
        int rc = sqlite3_prepare_v2(m_db, sql.constData(), -1, &raw, nullptr);
        Statement statement(raw);
        if (rc != SQLITE_OK)
            return fail(rc), BudgetResult{0, result.usedBefore, result.usedBefore, false};
        while ((rc = sqlite3_step(raw)) == SQLITE_ROW) {
            senders.push_back({columnText(raw, 0), sqlite3_column_double(raw, 1)});
            total += senders.back().weight;
        }
        if (rc != SQLITE_DONE)
            return fail(rc), BudgetResult{0, result.usedBefore, result.usedBefore, false};
    }
    if (total <= 0)
        return result;
    // The excess and a margin of 1 % of the budget, in the same units as the weights.
    const double excess =
        total * double(result.usedBefore - budgetBytes + budgetBytes / 100) / double(result.usedBefore);
    // The largest senders are cut down to a common size: the smallest cap whose cuts add up to
    // the excess.
    std::sort(senders.begin(), senders.end(),
              [](const Sender &a, const Sender &b) { return a.weight > b.weight; });
    double cap = 0;
    double sum = 0;
    size_t cut = senders.size();
    for (size_t i = 0; i < senders.size(); ++i) {
        sum += senders[i].weight;
        const double next = i + 1 < senders.size() ? senders[i + 1].weight : 0;
        if (sum - double(i + 1) * next >= excess) {
            cut = i + 1;
            cap = (sum - excess) / double(i + 1);
            break;
        }
    }
    for (size_t i = 0; i < cut; ++i) {
        const double target = senders[i].weight - cap;
        if (target <= 0)
            continue;
        // The id up to which this sender's oldest lines make up the target.
        qint64 upTo = 0;
        {
            sqlite3_stmt *raw = nullptr;
            const QByteArray sql = "SELECT id, " + weight + " FROM line WHERE address = ?1 ORDER BY id";
            int rc = sqlite3_prepare_v2(m_db, sql.constData(), -1, &raw, nullptr);
            Statement statement(raw);
            if (rc != SQLITE_OK)
                return fail(rc), BudgetResult{result.removed, result.usedBefore, usedBytes(), false};
            bindText(raw, 1, senders[i].address);
            double reached = 0;
            while (reached < target && (rc = sqlite3_step(raw)) == SQLITE_ROW) {
                upTo = sqlite3_column_int64(raw, 0);
                reached += sqlite3_column_double(raw, 1);
            }
            if (rc != SQLITE_ROW && rc != SQLITE_DONE)
                return fail(rc), BudgetResult{result.removed, result.usedBefore, usedBytes(), false};
        }
        const QByteArray who = "address = CAST(x'" + utf8(senders[i].address).toHex() + "' AS TEXT)";
        const bool ok = deleteInPieces(
            "SELECT max(id) FROM (SELECT id FROM line WHERE id > ?1 AND id <= " + QByteArray::number(upTo) +
                " AND " + who + " ORDER BY id LIMIT 2000)",
            "DELETE FROM line WHERE id > ?1 AND id <= ?2 AND " + who, between, &result.removed);
        if (!ok)
            return BudgetResult{result.removed, result.usedBefore, usedBytes(), false};
    }
    // Deleting from the index only adds markers; merging the segments takes out what they mark,
    // in small steps, each a transaction of its own.
    for (const char *merge : {"INSERT INTO line_text(line_text, rank) VALUES ('merge', -500)",
                              "INSERT INTO line_pairs(line_pairs, rank) VALUES ('merge', -500)"}) {
        while (!m_abandoned) {
            const qint64 before = sqlite3_total_changes64(m_db);
            if (!exec(merge))
                return BudgetResult{result.removed, result.usedBefore, usedBytes(), false};
            // The command itself counts as one change: fewer than two, and there was nothing to merge.
            if (sqlite3_total_changes64(m_db) - before < 2)
                break;
            if (between)
                between();
        }
    }
    if (!exec("PRAGMA incremental_vacuum"))
        result.ok = false;
    result.usedAfter = usedBytes();
    return result;
}

int HistoryStore::removeSetAsideCopies(const QDateTime &before)
{
    const QFileInfo file(m_path);
    const QString prefix = file.fileName() + QStringLiteral(".broken-");
    QDir folder = file.absoluteDir();
    int removed = 0;
    // Compared by hand: a name filter would bring in the regular expression engine at each start.
    for (const QString &name : folder.entryList(QDir::Files | QDir::Hidden)) {
        if (!name.startsWith(prefix))
            continue;
        // history.sqlite.broken-YYYYMMDD-HHMMSS, maybe with -wal or -shm after it
        const QDateTime when =
            QDateTime::fromString(name.mid(prefix.size(), 15), QStringLiteral("yyyyMMdd-HHmmss"));
        if (before.isValid() && (!when.isValid() || when >= before))
            continue;
        if (folder.remove(name))
            ++removed;
    }
    return removed;
}

HistoryStore::ClearResult HistoryStore::clear(const Between &between)
{
    if (!m_db)
        return ClearResult::Failed;
    // Left from a clear that did not end: emptied first.
    if (!destroyCleared(between))
        return ClearResult::Failed;
    // New tables take the place of the old ones in one short transaction; another instance goes
    // on writing into the new ones. The old ones are emptied piece by piece afterwards.
    const bool swapped =
        exec("BEGIN IMMEDIATE") &&
        exec("DROP TRIGGER line_removed;"
             "ALTER TABLE line_text RENAME TO cleared_text; ALTER TABLE line_pairs RENAME TO cleared_pairs;"
             "ALTER TABLE line RENAME TO cleared_line;") &&
        createLineTables() && exec("DELETE FROM setting WHERE key IN ('pair_backlog', 'indexed_to')") &&
        exec("COMMIT");
    if (!swapped) {
        rollbackKeepingFailure();
        return ClearResult::Failed;
    }
    if (!destroyCleared(between))
        return ClearResult::Failed;
    removeSetAsideCopies();
    if (finishClear())
        return ClearResult::Done;
    return m_problem == HistoryProblem::None || m_problem == HistoryProblem::Locked ? ClearResult::Pending
                                                                                    : ClearResult::Failed;
}

bool HistoryStore::destroyCleared(const Between &between)
{
    const qint64 left = pragmaValue("SELECT count(*) FROM sqlite_schema WHERE name = 'cleared_line'");
    if (left < 0)
        return false;
    if (left == 0)
        return true;
    // The old index's own tables are emptied directly: nothing reads them any more.
    // Their small WITHOUT ROWID page lists go with the tables.
    for (const char *table :
         {"cleared_line", "cleared_text_data", "cleared_text_docsize", "cleared_pairs_data"}) {
        const QByteArray name(table);
        if (pragmaValue(("SELECT count(*) FROM sqlite_schema WHERE name = '" + name + "'").constData()) <= 0)
            continue;
        // Rows 1 and 10 of an index's data are its averages and structure, which dropping it reads.
        const QByteArray floor = name.endsWith("_data") ? " AND rowid > 10" : "";
        if (!deleteInPieces("SELECT max(rowid) FROM (SELECT rowid FROM " + name + " WHERE rowid > ?1" +
                                floor + " ORDER BY rowid LIMIT 500)",
                            "DELETE FROM " + name + " WHERE rowid > ?1 AND rowid <= ?2" + floor, between))
            return false;
    }
    if (exec("BEGIN IMMEDIATE") &&
        exec("DROP TABLE cleared_text; DROP TABLE cleared_pairs; DROP TABLE cleared_line;") && exec("COMMIT"))
        return true;
    rollbackKeepingFailure();
    return false;
}

bool HistoryStore::finishClear()
{
    // The file is rebuilt without its free pages, then the journal, which still holds pages as
    // they were, is emptied. A reader of the journal keeps it: then the checkpoint says busy
    // (in its result, not its return code, when run as a PRAGMA), and the clear is not complete.
    if (!exec("VACUUM"))
        return false;
    // The busy handler waits up to the busy timeout for the readers to finish.
    int logFrames = 0;
    int checkpointed = 0;
    const int rc =
        sqlite3_wal_checkpoint_v2(m_db, nullptr, SQLITE_CHECKPOINT_TRUNCATE, &logFrames, &checkpointed);
    if (rc == SQLITE_OK)
        return true;
    if ((rc & 0xff) == SQLITE_BUSY || (rc & 0xff) == SQLITE_LOCKED) {
        m_problem = HistoryProblem::None;
        return false;
    }
    return fail(rc);
}

qint64 HistoryStore::unindexed()
{
    return pragmaValue("SELECT (SELECT coalesce(max(id), 0) FROM line) - "
                       "coalesce((SELECT value FROM setting WHERE key = 'indexed_to'), 0)");
}

bool HistoryStore::indexUpTo(qint64 upTo)
{
    const QByteArray last = QByteArray::number(upTo);
    const QByteArray range =
        " FROM line WHERE id > coalesce((SELECT value FROM setting WHERE key = 'indexed_to'), 0) AND id <= " +
        last;
    return exec("INSERT INTO line_text(rowid, name, text) SELECT id, name, substr(text, 1, 4000)" + range) &&
           exec("INSERT INTO line_pairs(rowid, name, text) SELECT id, name, substr(text, 1, 4000)" + range) &&
           exec("INSERT OR REPLACE INTO setting(key, value) VALUES ('indexed_to', " + last + ")");
}

int HistoryStore::indexStep(int maxLines)
{
    if (!m_db || !exec("BEGIN IMMEDIATE"))
        return -1;
    const qint64 upTo = pragmaValue(
        "SELECT max(id) FROM (SELECT id FROM line WHERE id > coalesce((SELECT value FROM setting WHERE key = "
        "'indexed_to'), 0) ORDER BY id LIMIT " +
        QByteArray::number(maxLines) + ")");
    const qint64 from =
        pragmaValue("SELECT coalesce((SELECT value FROM setting WHERE key = 'indexed_to'), 0)");
    if (upTo > 0 && from >= 0 && indexUpTo(upTo) && exec("COMMIT"))
        return int(upTo - from);
    const bool failed = upTo < 0 || from < 0 || upTo > 0;
    rollbackKeepingFailure();
    return failed ? -1 : 0;
}

void HistoryStore::trimJournal()
{
    if (!m_db || QFileInfo(m_path + QStringLiteral("-wal")).size() <= 4 * 1024 * 1024)
        return;
    // Not worth waiting for: the next burst tries again.
    sqlite3_busy_handler(m_db, nullptr, nullptr);
    sqlite3_wal_checkpoint_v2(m_db, nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
    sqlite3_busy_handler(m_db, &HistoryStore::waitWhileBusy, this);
}

bool HistoryStore::hasBackgroundWork()
{
    return unindexed() > 0 || settingValue("pair_backlog", 0) > 0 || settingValue("vacuum_pending", 0) > 0 ||
           pragmaValue("SELECT count(*) FROM sqlite_schema WHERE name = 'cleared_line'") > 0;
}

bool HistoryStore::backgroundStep(const Between &between)
{
    if (!m_db)
        return false;
    if (unindexed() > 0)
        return indexStep(2000) >= 0;
    if (pragmaValue("SELECT count(*) FROM sqlite_schema WHERE name = 'cleared_line'") > 0) {
        if (!destroyCleared(between))
            return false;
        return finishClear() || m_problem == HistoryProblem::None;
    }
    const qint64 backlog = settingValue("pair_backlog", 0);
    if (backlog > 0) {
        // Newest first, so that recent lines are found by the index soonest. Long texts indexed
        // whole by the older version are indexed again up to the prefix.
        const QByteArray low = QByteArray::number(std::max<qint64>(0, backlog - 2000));
        const QByteArray high = QByteArray::number(backlog);
        const QByteArray range = " FROM line WHERE id > " + low + " AND id <= " + high;
        const bool ok =
            exec("BEGIN IMMEDIATE") &&
            exec("INSERT INTO line_text(line_text, rowid, name, text) SELECT 'delete', id, name, text" +
                 range + " AND length(text) > 4000") &&
            exec("INSERT INTO line_text(rowid, name, text) SELECT id, name, substr(text, 1, 4000)" + range +
                 " AND length(text) > 4000") &&
            exec("INSERT INTO line_pairs(rowid, name, text) SELECT id, name, substr(text, 1, 4000)" +
                 range) &&
            exec("UPDATE setting SET value = " + low + " WHERE key = 'pair_backlog'") && exec("COMMIT");
        if (!ok) {
            rollbackKeepingFailure();
        }
        return ok;
    }
    if (settingValue("vacuum_pending", 0) > 0) {
        // Once, for a file made before free pages were given back: SQLite turns it on only while
        // it rebuilds the file.
        return exec("PRAGMA auto_vacuum=INCREMENTAL") && exec("VACUUM") &&
               exec("DELETE FROM setting WHERE key = 'vacuum_pending'");
    }
    return true;
}

std::optional<HistorySettings> HistoryStore::readSettings()
{
    if (!m_db)
        return std::nullopt;
    sqlite3_stmt *raw = nullptr;
    int rc = sqlite3_prepare_v2(m_db, "SELECT key, value FROM setting", -1, &raw, nullptr);
    Statement statement(raw);
    if (rc != SQLITE_OK) {
        fail(rc);
        return std::nullopt;
    }
    HistorySettings settings; // a missing row keeps the default
    while ((rc = sqlite3_step(raw)) == SQLITE_ROW) {
        const QByteArrayView key(reinterpret_cast<const char *>(sqlite3_column_text(raw, 0)),
                                 sqlite3_column_bytes(raw, 0));
        const qint64 value = sqlite3_column_int64(raw, 1);
        if (key == "saving")
            settings.saving = value != 0;
        else if (key == "keep_months")
            settings.keepMonths = int(value);
    }
    if (rc != SQLITE_DONE) {
        fail(rc);
        return std::nullopt;
    }
    return settings;
}

HistorySettings HistoryStore::settings()
{
    return readSettings().value_or(HistorySettings{});
}

bool HistoryStore::setSettings(const HistorySettings &settings)
{
    const QByteArray sql =
        QByteArrayLiteral("INSERT OR REPLACE INTO setting(key, value) VALUES ('saving', ") +
        QByteArray::number(settings.saving ? 1 : 0) + "), ('keep_months', " +
        QByteArray::number(settings.keepMonths) + ")";
    return exec(sql.constData());
}

bool HistoryStore::setSetting(const char *key, qint64 value)
{
    if (!m_db)
        return false;
    sqlite3_stmt *raw = nullptr;
    int rc = sqlite3_prepare_v2(m_db, "INSERT OR REPLACE INTO setting(key, value) VALUES (?1, ?2)", -1, &raw,
                                nullptr);
    Statement statement(raw);
    if (rc == SQLITE_OK) {
        sqlite3_bind_text(raw, 1, key, -1, SQLITE_STATIC);
        sqlite3_bind_int64(raw, 2, value);
        rc = sqlite3_step(raw);
    }
    return rc == SQLITE_DONE || fail(rc);
}

bool HistoryStore::setSaving(bool on)
{
    return setSetting("saving", on ? 1 : 0);
}

bool HistoryStore::setKeepMonths(int months)
{
    return setSetting("keep_months", months);
}

qint64 HistoryStore::dataVersion()
{
    return pragmaValue("PRAGMA data_version");
}
