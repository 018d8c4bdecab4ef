#include "downloadstore.h"

#include "storefailure.h"
#include "storequery.h"

#include <QFile>
#include <sqlite3.h>

namespace {

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

// Every column but id, in the order of the table.
StoreQuery &bindRecord(StoreQuery &query, const DownloadRecord &record)
{
    return query.bind(record.url)
        .bind(record.target)
        .bind(record.part)
        .bind(record.size)
        .bindText(record.etag)
        .bindText(record.lastModified)
        .bindBlobOrNull(record.sha256)
        .bind(record.state)
        .bind(record.reason)
        .bind(record.startedMs);
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
    StoreQuery query(db, "INSERT INTO download(url, target, part, size, etag, last_modified, sha256, state, "
                         "reason, started_ms, owner) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
    if (!bindRecord(query, record).bind(m_owner).run()) {
        fail(QStringLiteral("記録"), query.code());
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
    StoreQuery query(db, "UPDATE download SET url = ?, target = ?, part = ?, size = ?, etag = ?, "
                         "last_modified = ?, sha256 = ?, state = ?, reason = ?, started_ms = ? WHERE id = ?");
    if (!bindRecord(query, record).bind(record.id).run())
        return fail(QStringLiteral("更新"), query.code());
    m_lastError.clear();
    return true;
}

bool DownloadStore::remove(qint64 id)
{
    sqlite3 *db = connection();
    if (!db)
        return false;
    StoreQuery query(db, "DELETE FROM download WHERE id = ?");
    if (!query.bind(id).run())
        return fail(QStringLiteral("削除"), query.code());
    m_lastError.clear();
    return true;
}

QList<DownloadRecord> DownloadStore::all()
{
    QList<DownloadRecord> records;
    sqlite3 *db = connection();
    if (!db)
        return records;
    StoreQuery query(db, "SELECT id, url, target, part, size, etag, last_modified, sha256, state, reason, "
                         "started_ms FROM download WHERE owner = ? ORDER BY id");
    query.bind(m_owner);
    while (query.next()) {
        DownloadRecord record;
        record.id = query.number(0);
        record.url = query.text(1);
        record.target = query.text(2);
        record.part = query.text(3);
        record.size = query.isNull(4) ? -1 : query.number(4);
        record.etag = query.blob(5);
        record.lastModified = query.blob(6);
        record.sha256 = query.blob(7);
        record.state = query.text(8);
        record.reason = query.text(9);
        record.startedMs = query.number(10);
        records.append(record);
    }
    if (query.failed())
        fail(QStringLiteral("読み込み"), query.code());
    else
        m_lastError.clear();
    return records;
}
