#include "historystore.h"

#include <QDateTime>
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

// The tables of schema version 1. The text index is an external-content FTS5 table with the
// trigram tokenizer: Japanese has no spaces between words, and the trigram tokenizer finds any
// substring of three characters or more, Latin letters in either case.
constexpr const char *createTablesSql = R"(
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
CREATE TRIGGER line_added AFTER INSERT ON line BEGIN
    INSERT INTO line_text(rowid, name, text) VALUES (new.id, new.name, new.text);
END;
CREATE TRIGGER line_removed AFTER DELETE ON line BEGIN
    INSERT INTO line_text(line_text, rowid, name, text) VALUES ('delete', old.id, old.name, old.text);
END;
)";

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

// LIKE's own wildcards in a query are meant literally.
QString likePattern(const QString &query)
{
    QString escaped;
    for (const QChar c : query) {
        if (c == u'%' || c == u'_' || c == u'\\')
            escaped += u'\\';
        escaped += c;
    }
    return u'%' + escaped + u'%';
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
                           QString::fromLocal8Bit(std::strerror(error)));
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
    if (sqlite3_db_readonly(m_db, "main") == 1)
        return problem(HistoryProblem::FolderNotWritable, QStringLiteral("read-only"));

    const qint64 version = pragmaValue("PRAGMA user_version");
    if (version < 0)
        return problem(m_problem, m_detail);
    if (version > schemaVersion)
        return problem(HistoryProblem::NewerSchema, QString::number(version));
    // WAL: a committed batch survives the process being killed, and readers never wait for the
    // writer. NORMAL: durable across a crash of the program; only a power loss may lose the last
    // transactions, never the file.
    if (!exec("PRAGMA journal_mode=WAL") || !exec("PRAGMA synchronous=NORMAL"))
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
    // Each step brings the file one version up, in the transaction that sets the version.
    if (from == 0) {
        // Freed pages can be given back without a full vacuum; only possible before any table.
        if (!exec("PRAGMA auto_vacuum=INCREMENTAL"))
            return false;
        if (!exec("BEGIN IMMEDIATE"))
            return false;
        // A second instance may have created the tables while this one waited for the lock.
        const qint64 current = pragmaValue("PRAGMA user_version");
        if (current == 0 && !createSchema()) {
            exec("ROLLBACK");
            return false;
        }
        return exec("COMMIT");
    }
    return true;
}

bool HistoryStore::createSchema()
{
    return exec(createTablesSql) &&
           exec("CREATE TABLE setting(key TEXT PRIMARY KEY, value INTEGER NOT NULL) WITHOUT ROWID") &&
           exec("PRAGMA user_version=1");
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
    if (!m_db)
        return false;
    if (lines.isEmpty())
        return true;
    // IMMEDIATE: the write lock is taken (or waited for) at the start, never half-way.
    if (!exec("BEGIN IMMEDIATE"))
        return false;
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
    if (rc != SQLITE_OK) {
        fail(rc);
        const HistoryProblem problem = m_problem;
        const QString detail = m_detail;
        const bool corrupt = m_corrupt;
        sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
        m_problem = problem;
        m_detail = detail;
        m_corrupt = corrupt;
        return false;
    }
    if (!exec("COMMIT")) {
        sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
        return false;
    }
    return true;
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
    const qint64 before = beforeId > 0 ? beforeId : std::numeric_limits<qint64>::max();
    // The trigram index finds nothing for fewer than three characters (most Japanese words have
    // two); those are looked for newest-first in the lines themselves, which stops at the limit.
    if (needle.toUcs4().size() >= 3) {
        QString phrase = needle;
        phrase.replace(u'"', QStringLiteral("\"\""));
        phrase = u'"' + phrase + u'"';
        const QByteArray sql = QByteArrayLiteral("SELECT ") + lineColumns +
                               " FROM line WHERE id IN (SELECT rowid FROM line_text WHERE line_text MATCH ?1"
                               " AND rowid < ?2 ORDER BY rowid DESC LIMIT ?3) ORDER BY id DESC";
        return select(
            sql.constData(),
            [&](sqlite3_stmt *statement) {
                bindText(statement, 1, phrase);
                sqlite3_bind_int64(statement, 2, before);
                sqlite3_bind_int(statement, 3, limit);
            },
            cancelled);
    }
    // Without Latin letters there is no case to fold: instr() compares bytes, LIKE decodes every
    // character of every line, which makes a scan of all lines about twice as long.
    const bool hasLetters = std::any_of(needle.cbegin(), needle.cend(),
                                        [](QChar c) { return c.unicode() < 0x80 && c.isLetter(); });
    const QByteArray sql = QByteArrayLiteral("SELECT ") + lineColumns + " FROM line WHERE id < ?2 AND " +
                           (hasLetters ? "(text LIKE ?1 ESCAPE '\\' OR name LIKE ?1 ESCAPE '\\')"
                                       : "(instr(text, ?1) > 0 OR instr(name, ?1) > 0)") +
                           " ORDER BY id DESC LIMIT ?3";
    return select(
        sql.constData(),
        [&](sqlite3_stmt *statement) {
            bindText(statement, 1, hasLetters ? likePattern(needle) : needle);
            sqlite3_bind_int64(statement, 2, before);
            sqlite3_bind_int(statement, 3, limit);
        },
        cancelled);
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

qint64 HistoryStore::prune(qint64 cutoffMs, qint64 budgetBytes, qint64 maxLines)
{
    if (!m_db)
        return -1;
    constexpr int piece = 2000;
    qint64 removed = 0;
    // Lines come roughly in time order: the oldest by id are looked at, a piece at a time, so the
    // write lock is held only briefly and no index on the time is needed.
    if (cutoffMs > 0) {
        for (;;) {
            sqlite3_stmt *raw = nullptr;
            int rc = sqlite3_prepare_v2(
                m_db, "DELETE FROM line WHERE id IN (SELECT id FROM line ORDER BY id LIMIT ?1) AND time < ?2",
                -1, &raw, nullptr);
            Statement statement(raw);
            if (rc == SQLITE_OK) {
                sqlite3_bind_int(raw, 1, piece);
                sqlite3_bind_int64(raw, 2, cutoffMs);
                rc = sqlite3_step(raw);
            }
            if (rc != SQLITE_DONE)
                return fail(rc), -1;
            const int changes = sqlite3_changes(m_db);
            removed += changes;
            if (changes == 0 || removed >= maxLines)
                break;
        }
    }
    // Over the budget: the oldest lines go, as many as the excess holds on average.
    const qint64 used = usedBytes();
    const qint64 lines = used > budgetBytes ? count() : 0; // counting a million lines takes a while
    if (used > budgetBytes && lines > 0 && removed < maxLines) {
        const qint64 perLine = std::max<qint64>(1, used / lines);
        qint64 excess = std::min((used - budgetBytes) / perLine + 1, maxLines - removed);
        while (excess > 0) {
            sqlite3_stmt *raw = nullptr;
            int rc = sqlite3_prepare_v2(
                m_db, "DELETE FROM line WHERE id IN (SELECT id FROM line ORDER BY id LIMIT ?1)", -1, &raw,
                nullptr);
            Statement statement(raw);
            if (rc == SQLITE_OK) {
                sqlite3_bind_int64(raw, 1, std::min<qint64>(excess, piece));
                rc = sqlite3_step(raw);
            }
            if (rc != SQLITE_DONE)
                return fail(rc), -1;
            const int changes = sqlite3_changes(m_db);
            removed += changes;
            excess -= piece;
            if (changes == 0)
                break;
        }
    }
    if (removed > 0) {
        // The index keeps what was removed as markers until its segments are merged: a bounded
        // merge, since a full one of a large index would hold the write lock for seconds.
        if (!exec("INSERT INTO line_text(line_text, rank) VALUES ('merge', 200)") ||
            !exec("PRAGMA incremental_vacuum"))
            return -1;
    }
    return removed;
}

bool HistoryStore::clear()
{
    if (!m_db)
        return false;
    // secure_delete overwrites the freed pages; VACUUM rebuilds the file without them, and the
    // checkpoint empties the journal, which still holds the pages as they were.
    const bool cleared = exec("PRAGMA secure_delete=ON") && exec("BEGIN IMMEDIATE") &&
                         exec("DROP TABLE line_text; DROP TABLE line;") && exec(createTablesSql) &&
                         exec("COMMIT") && exec("VACUUM") && exec("PRAGMA wal_checkpoint(TRUNCATE)");
    if (!cleared)
        sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_exec(m_db, "PRAGMA secure_delete=OFF", nullptr, nullptr, nullptr);
    return cleared;
}

HistorySettings HistoryStore::settings()
{
    HistorySettings settings;
    // A missing row keeps the default.
    const qint64 saving =
        pragmaValue("SELECT coalesce((SELECT value FROM setting WHERE key = 'saving'), -1)");
    const qint64 keep =
        pragmaValue("SELECT coalesce((SELECT value FROM setting WHERE key = 'keep_months'), -1)");
    if (saving >= 0)
        settings.saving = saving != 0;
    if (keep >= 0)
        settings.keepMonths = int(keep);
    return settings;
}

bool HistoryStore::setSettings(const HistorySettings &settings)
{
    const QByteArray sql =
        QByteArrayLiteral("INSERT OR REPLACE INTO setting(key, value) VALUES ('saving', ") +
        QByteArray::number(settings.saving ? 1 : 0) + "), ('keep_months', " +
        QByteArray::number(settings.keepMonths) + ")";
    return exec(sql.constData());
}
