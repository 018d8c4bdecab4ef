#include "downloadstore.h"

#include "storefailure.h"

#include <QFile>
#include <sqlite3.h>

#include <memory>

namespace {

struct StatementFinalizer
{
    void operator()(sqlite3_stmt *statement) const { sqlite3_finalize(statement); }
};
using Statement = std::unique_ptr<sqlite3_stmt, StatementFinalizer>;

constexpr const char *tableSql = R"(
CREATE TABLE IF NOT EXISTS download(
    id INTEGER PRIMARY KEY,
    url TEXT,
    target TEXT,
    part TEXT,
    size INTEGER,
    etag TEXT,
    last_modified TEXT,
    sha256 BLOB,
    state TEXT,
    reason TEXT,
    started_ms INTEGER,
    owner INTEGER NOT NULL DEFAULT 0)
)";

void bindText(sqlite3_stmt *statement, int index, const QByteArray &bytes)
{
    sqlite3_bind_text(statement, index, bytes.constData(), int(bytes.size()), SQLITE_TRANSIENT);
}

QByteArray columnBytes(sqlite3_stmt *statement, int column)
{
    const auto *data = static_cast<const char *>(sqlite3_column_blob(statement, column));
    return QByteArray(data, sqlite3_column_bytes(statement, column));
}

// Binds every column but id, in the order of the table, from index 1.
void bindRecord(sqlite3_stmt *statement, const DownloadRecord &record)
{
    bindText(statement, 1, record.url.toUtf8());
    bindText(statement, 2, record.target.toUtf8());
    bindText(statement, 3, record.part.toUtf8());
    sqlite3_bind_int64(statement, 4, record.size);
    bindText(statement, 5, record.etag);
    bindText(statement, 6, record.lastModified);
    if (record.sha256.isEmpty())
        sqlite3_bind_null(statement, 7);
    else
        sqlite3_bind_blob(statement, 7, record.sha256.constData(), int(record.sha256.size()),
                          SQLITE_TRANSIENT);
    bindText(statement, 8, record.state.toUtf8());
    bindText(statement, 9, record.reason.toUtf8());
    sqlite3_bind_int64(statement, 10, record.startedMs);
}

} // namespace

DownloadStore::DownloadStore(const QString &path, int owner) : m_path(QFile::encodeName(path)), m_owner(owner)
{
    if (!open(m_path)) {
        m_problem = QStringLiteral("ダウンロードの記録を履歴のファイル %1 に開けません（%2）。%3"
                                   "ダウンロードはできますが、プログラムを終えると続きから再開できません。")
                        .arg(path, StoreFailure::reason(m_lastCode), StoreFailure::advice(m_lastCode));
        m_path.clear();
        // Downloads still run; they only cannot go on after a restart.
        open(":memory:");
    }
}

DownloadStore::~DownloadStore()
{
    closeConnection();
}

void DownloadStore::release()
{
    if (!m_path.isEmpty())
        closeConnection();
}

void DownloadStore::closeConnection()
{
    if (m_db)
        sqlite3_close_v2(m_db);
    m_db = nullptr;
}

bool DownloadStore::open(const QByteArray &path)
{
    closeConnection();
    const int rc = sqlite3_open_v2(path.constData(), &m_db,
                                   SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
    bool ready = rc == SQLITE_OK || fail(QStringLiteral("開く"), rc);
    if (ready) {
        sqlite3_extended_result_codes(m_db, 1);
        sqlite3_busy_timeout(m_db, 2000);
        // The history has set WAL already; asking again is harmless and covers a file made here first.
        ready = exec("PRAGMA journal_mode=WAL") && exec(tableSql);
    }
    if (!ready)
        closeConnection();
    return ready;
}

sqlite3 *DownloadStore::connection()
{
    if (!m_db && !m_path.isEmpty())
        open(m_path);
    return m_db;
}

bool DownloadStore::exec(const char *sql)
{
    const int rc = sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr);
    return rc == SQLITE_OK || fail(QStringLiteral("用意"), rc);
}

bool DownloadStore::fail(const QString &what, int rc)
{
    m_lastCode = rc;
    m_lastError = QStringLiteral("%1: %2").arg(what, StoreFailure::reason(rc));
    return false;
}

std::optional<qint64> DownloadStore::insert(const DownloadRecord &record)
{
    sqlite3 *db = connection();
    if (!db)
        return std::nullopt;
    sqlite3_stmt *raw = nullptr;
    if (sqlite3_prepare_v2(
            db,
            "INSERT INTO download(url, target, part, size, etag, last_modified, sha256, state, "
            "reason, started_ms, owner) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
            -1, &raw, nullptr) != SQLITE_OK) {
        fail(QStringLiteral("記録"), sqlite3_extended_errcode(db));
        return std::nullopt;
    }
    const Statement statement(raw);
    bindRecord(raw, record);
    sqlite3_bind_int(raw, 11, m_owner);
    if (const int rc = sqlite3_step(raw); rc != SQLITE_DONE) {
        fail(QStringLiteral("記録"), rc);
        return std::nullopt;
    }
    m_lastError.clear();
    return sqlite3_last_insert_rowid(db);
}

bool DownloadStore::update(const DownloadRecord &record)
{
    sqlite3 *db = connection();
    if (!db)
        return false;
    sqlite3_stmt *raw = nullptr;
    if (sqlite3_prepare_v2(
            db,
            "UPDATE download SET url = ?, target = ?, part = ?, size = ?, etag = ?, "
            "last_modified = ?, sha256 = ?, state = ?, reason = ?, started_ms = ? WHERE id = ?",
            -1, &raw, nullptr) != SQLITE_OK)
        return fail(QStringLiteral("更新"), sqlite3_extended_errcode(db));
    const Statement statement(raw);
    bindRecord(raw, record);
    sqlite3_bind_int64(raw, 11, record.id);
    if (const int rc = sqlite3_step(raw); rc != SQLITE_DONE)
        return fail(QStringLiteral("更新"), rc);
    m_lastError.clear();
    return true;
}

bool DownloadStore::remove(qint64 id)
{
    sqlite3 *db = connection();
    if (!db)
        return false;
    sqlite3_stmt *raw = nullptr;
    if (sqlite3_prepare_v2(db, "DELETE FROM download WHERE id = ?", -1, &raw, nullptr) != SQLITE_OK)
        return fail(QStringLiteral("削除"), sqlite3_extended_errcode(db));
    const Statement statement(raw);
    sqlite3_bind_int64(raw, 1, id);
    if (const int rc = sqlite3_step(raw); rc != SQLITE_DONE)
        return fail(QStringLiteral("削除"), rc);
    m_lastError.clear();
    return true;
}

QList<DownloadRecord> DownloadStore::all()
{
    QList<DownloadRecord> records;
    sqlite3 *db = connection();
    if (!db)
        return records;
    sqlite3_stmt *raw = nullptr;
    if (sqlite3_prepare_v2(db,
                           "SELECT id, url, target, part, size, etag, last_modified, sha256, state, reason, "
                           "started_ms FROM download WHERE owner = ? ORDER BY id",
                           -1, &raw, nullptr) != SQLITE_OK) {
        fail(QStringLiteral("読み込み"), sqlite3_extended_errcode(db));
        return records;
    }
    const Statement statement(raw);
    sqlite3_bind_int(raw, 1, m_owner);
    int rc;
    while ((rc = sqlite3_step(raw)) == SQLITE_ROW) {
        DownloadRecord record;
        record.id = sqlite3_column_int64(raw, 0);
        record.url = QString::fromUtf8(columnBytes(raw, 1));
        record.target = QString::fromUtf8(columnBytes(raw, 2));
        record.part = QString::fromUtf8(columnBytes(raw, 3));
        record.size = sqlite3_column_type(raw, 4) == SQLITE_NULL ? -1 : sqlite3_column_int64(raw, 4);
        record.etag = columnBytes(raw, 5);
        record.lastModified = columnBytes(raw, 6);
        record.sha256 = columnBytes(raw, 7);
        record.state = QString::fromUtf8(columnBytes(raw, 8));
        record.reason = QString::fromUtf8(columnBytes(raw, 9));
        record.startedMs = sqlite3_column_int64(raw, 10);
        records.append(record);
    }
    if (rc != SQLITE_DONE)
        fail(QStringLiteral("読み込み"), rc);
    else
        m_lastError.clear();
    return records;
}
