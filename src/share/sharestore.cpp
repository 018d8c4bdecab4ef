#include "sharestore.h"

#include "storefailure.h"

#include <QFile>
#include <QFileInfo>
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

namespace {

struct StatementFinalizer
{
    void operator()(sqlite3_stmt *statement) const { sqlite3_finalize(statement); }
};
using Statement = std::unique_ptr<sqlite3_stmt, StatementFinalizer>;

constexpr const char *schemaSql = R"(
CREATE TABLE IF NOT EXISTS share(
    code TEXT PRIMARY KEY,
    path TEXT NOT NULL,
    name TEXT NOT NULL,
    size INTEGER NOT NULL,
    device INTEGER NOT NULL,
    inode INTEGER NOT NULL,
    mtime_ns INTEGER NOT NULL,
    sha256 BLOB,
    recipients TEXT NOT NULL,
    shared_ms INTEGER NOT NULL,
    expires_ms INTEGER NOT NULL,
    downloads INTEGER NOT NULL DEFAULT 0,
    owner INTEGER NOT NULL DEFAULT 0);
CREATE TABLE IF NOT EXISTS share_settings(key TEXT PRIMARY KEY, value);
)";

void bindText(sqlite3_stmt *statement, int index, const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    sqlite3_bind_text(statement, index, bytes.constData(), int(bytes.size()), SQLITE_TRANSIENT);
}

QString columnText(sqlite3_stmt *statement, int column)
{
    return QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(statement, column)),
                             sqlite3_column_bytes(statement, column));
}

} // namespace

ShareStore::ShareStore() = default;

ShareStore::~ShareStore()
{
    close();
}

void ShareStore::close()
{
    release();
    m_path.clear();
}

void ShareStore::release()
{
    if (m_db)
        sqlite3_close_v2(m_db);
    m_db = nullptr;
}

sqlite3 *ShareStore::connection(const QString &what, QString *problem)
{
    if (!m_db && !m_path.isEmpty()) {
        if (const QString message = openOnce(m_path); !message.isEmpty()) {
            *problem = message;
            return nullptr;
        }
    }
    if (!m_db)
        *problem = what;
    return m_db;
}

QString ShareStore::failure(const QString &what, int rc)
{
    return what + QStringLiteral("（") + StoreFailure::reason(rc) + QStringLiteral("）。") +
           StoreFailure::advice(rc);
}

QString ShareStore::exec(const QString &what, const char *sql)
{
    const int rc = sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr);
    return rc == SQLITE_OK ? QString() : failure(what, rc);
}

QString ShareStore::open(const QString &path, int owner)
{
    close();
    m_owner = owner;
    m_openProblem = openOnce(path);
    if (m_openProblem.isEmpty())
        m_path = path;
    return m_openProblem;
}

QString ShareStore::openOnce(const QString &path)
{
    release();
    const QString what = QStringLiteral("共有の記録を履歴のファイル %1 に開けません").arg(path);
    const QByteArray nativePath = QFile::encodeName(path);
    bool created = false;
    if (!QFileInfo::exists(path)) {
        // Made here so that it is the user's alone from the first byte, as the history makes it.
        const int fd = ::open(nativePath.constData(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0600);
        if (fd < 0 && errno != EEXIST) {
            const int error = errno;
            return what + QStringLiteral("（") + StoreFailure::systemReason(error) + QStringLiteral("）。") +
                   StoreFailure::advice(StoreFailure::sqliteCodeOf(error));
        }
        if (fd >= 0) {
            ::close(fd);
            created = true;
        }
    }
    if (const int rc = sqlite3_open_v2(nativePath.constData(), &m_db,
                                       SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
        rc != SQLITE_OK) {
        const QString message = failure(what, rc);
        release();
        return message;
    }
    sqlite3_extended_result_codes(m_db, 1);
    sqlite3_busy_timeout(m_db, 2000);
    if (sqlite3_db_readonly(m_db, "main") == 1) {
        release();
        return failure(what, SQLITE_READONLY);
    }
    QString message;
    // On a file made here the history's choice of returning free pages must come before WAL writes
    // the header; SQLite ignores it afterwards.
    if (created)
        message = exec(what, "PRAGMA auto_vacuum=INCREMENTAL");
    // secure_delete: a stopped share's path and name are overwritten, not left in free pages.
    if (message.isEmpty())
        message = exec(what, "PRAGMA journal_mode=WAL");
    if (message.isEmpty())
        message = exec(what, "PRAGMA secure_delete=ON");
    if (message.isEmpty())
        message = exec(what, schemaSql);
    if (!message.isEmpty())
        release();
    return message;
}

std::variant<QList<ShareStore::StoredShare>, QString> ShareStore::loadAll()
{
    const QString what = QStringLiteral("共有の一覧を読み込めません");
    QString problem;
    sqlite3 *db = connection(what, &problem);
    if (!db)
        return problem;
    sqlite3_stmt *raw = nullptr;
    int rc = sqlite3_prepare_v2(
        db,
        "SELECT code, path, name, size, device, inode, mtime_ns, sha256, recipients, "
        "shared_ms, expires_ms, downloads FROM share WHERE owner = ? ORDER BY shared_ms, code",
        -1, &raw, nullptr);
    Statement statement(raw);
    if (rc != SQLITE_OK)
        return failure(what, rc);
    sqlite3_bind_int(raw, 1, m_owner);
    QList<StoredShare> shares;
    while ((rc = sqlite3_step(raw)) == SQLITE_ROW) {
        StoredShare stored;
        ShareEntry &entry = stored.entry;
        entry.code = columnText(raw, 0);
        entry.path = columnText(raw, 1);
        entry.name = columnText(raw, 2);
        entry.identity.size = sqlite3_column_int64(raw, 3);
        entry.identity.device = quint64(sqlite3_column_int64(raw, 4));
        entry.identity.inode = quint64(sqlite3_column_int64(raw, 5));
        entry.identity.mtimeNs = sqlite3_column_int64(raw, 6);
        if (sqlite3_column_type(raw, 7) == SQLITE_BLOB)
            entry.sha256 = QByteArray(static_cast<const char *>(sqlite3_column_blob(raw, 7)),
                                      sqlite3_column_bytes(raw, 7));
        entry.recipients = columnText(raw, 8).split(QLatin1Char(' '), Qt::SkipEmptyParts);
        entry.sharedMs = sqlite3_column_int64(raw, 9);
        entry.expiresMs = sqlite3_column_int64(raw, 10);
        stored.downloads = sqlite3_column_int(raw, 11);
        shares.append(stored);
    }
    if (rc != SQLITE_DONE)
        return failure(what, rc);
    return shares;
}

QString ShareStore::insert(const ShareEntry &entry)
{
    const QString what = QStringLiteral("共有「%1」を記録できません").arg(entry.name);
    QString problem;
    sqlite3 *db = connection(what, &problem);
    if (!db)
        return problem;
    sqlite3_stmt *raw = nullptr;
    int rc = sqlite3_prepare_v2(db,
                                "INSERT INTO share(code, path, name, size, device, inode, mtime_ns, sha256, "
                                "recipients, shared_ms, expires_ms, downloads, owner) "
                                "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, 0, ?)",
                                -1, &raw, nullptr);
    Statement statement(raw);
    if (rc != SQLITE_OK)
        return failure(what, rc);
    bindText(raw, 1, entry.code);
    bindText(raw, 2, entry.path);
    bindText(raw, 3, entry.name);
    sqlite3_bind_int64(raw, 4, entry.identity.size);
    sqlite3_bind_int64(raw, 5, qint64(entry.identity.device));
    sqlite3_bind_int64(raw, 6, qint64(entry.identity.inode));
    sqlite3_bind_int64(raw, 7, entry.identity.mtimeNs);
    if (entry.sha256.isEmpty())
        sqlite3_bind_null(raw, 8);
    else
        sqlite3_bind_blob(raw, 8, entry.sha256.constData(), int(entry.sha256.size()), SQLITE_TRANSIENT);
    bindText(raw, 9, entry.recipients.join(QLatin1Char(' ')));
    sqlite3_bind_int64(raw, 10, entry.sharedMs);
    sqlite3_bind_int64(raw, 11, entry.expiresMs);
    sqlite3_bind_int(raw, 12, m_owner);
    rc = sqlite3_step(raw);
    return rc == SQLITE_DONE ? QString() : failure(what, rc);
}

QString ShareStore::setSha256(const QString &code, const QByteArray &sha256)
{
    const QString what = QStringLiteral("共有 %1 のダイジェストを記録できません").arg(code);
    QString problem;
    sqlite3 *db = connection(what, &problem);
    if (!db)
        return problem;
    sqlite3_stmt *raw = nullptr;
    int rc = sqlite3_prepare_v2(db, "UPDATE share SET sha256 = ? WHERE code = ?", -1, &raw, nullptr);
    Statement statement(raw);
    if (rc != SQLITE_OK)
        return failure(what, rc);
    sqlite3_bind_blob(raw, 1, sha256.constData(), int(sha256.size()), SQLITE_TRANSIENT);
    bindText(raw, 2, code);
    rc = sqlite3_step(raw);
    return rc == SQLITE_DONE ? QString() : failure(what, rc);
}

QString ShareStore::setDownloads(const QString &code, int downloads)
{
    const QString what = QStringLiteral("共有 %1 のダウンロード数を記録できません").arg(code);
    QString problem;
    sqlite3 *db = connection(what, &problem);
    if (!db)
        return problem;
    sqlite3_stmt *raw = nullptr;
    int rc = sqlite3_prepare_v2(db, "UPDATE share SET downloads = ? WHERE code = ?", -1, &raw, nullptr);
    Statement statement(raw);
    if (rc != SQLITE_OK)
        return failure(what, rc);
    sqlite3_bind_int(raw, 1, downloads);
    bindText(raw, 2, code);
    rc = sqlite3_step(raw);
    return rc == SQLITE_DONE ? QString() : failure(what, rc);
}

QString ShareStore::remove(const QString &code)
{
    const QString what = QStringLiteral("共有 %1 を記録から消せません").arg(code);
    QString problem;
    sqlite3 *db = connection(what, &problem);
    if (!db)
        return problem;
    sqlite3_stmt *raw = nullptr;
    int rc = sqlite3_prepare_v2(db, "DELETE FROM share WHERE code = ?", -1, &raw, nullptr);
    Statement statement(raw);
    if (rc != SQLITE_OK)
        return failure(what, rc);
    bindText(raw, 1, code);
    rc = sqlite3_step(raw);
    return rc == SQLITE_DONE ? QString() : failure(what, rc);
}

QString ShareStore::portKey() const
{
    return m_owner == 0 ? QStringLiteral("port") : QStringLiteral("port:%1").arg(m_owner);
}

std::variant<std::optional<quint16>, QString> ShareStore::port()
{
    const QString what = QStringLiteral("共有のポート番号を読み込めません");
    QString problem;
    sqlite3 *db = connection(what, &problem);
    if (!db)
        return problem;
    sqlite3_stmt *raw = nullptr;
    int rc = sqlite3_prepare_v2(db, "SELECT value FROM share_settings WHERE key = ?", -1, &raw, nullptr);
    Statement statement(raw);
    if (rc != SQLITE_OK)
        return failure(what, rc);
    bindText(raw, 1, portKey());
    rc = sqlite3_step(raw);
    if (rc == SQLITE_DONE)
        return std::optional<quint16>();
    if (rc != SQLITE_ROW)
        return failure(what, rc);
    const qint64 value = sqlite3_column_int64(raw, 0);
    if (value <= 0 || value > 65535)
        return std::optional<quint16>();
    return std::optional<quint16>(quint16(value));
}

QString ShareStore::setPort(quint16 port)
{
    const QString what = QStringLiteral("共有のポート番号を記録できません");
    QString problem;
    sqlite3 *db = connection(what, &problem);
    if (!db)
        return problem;
    sqlite3_stmt *raw = nullptr;
    int rc = sqlite3_prepare_v2(db, "INSERT OR REPLACE INTO share_settings(key, value) VALUES (?, ?)", -1,
                                &raw, nullptr);
    Statement statement(raw);
    if (rc != SQLITE_OK)
        return failure(what, rc);
    bindText(raw, 1, portKey());
    sqlite3_bind_int(raw, 2, port);
    rc = sqlite3_step(raw);
    return rc == SQLITE_DONE ? QString() : failure(what, rc);
}
