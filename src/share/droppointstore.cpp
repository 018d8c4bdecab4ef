#include "droppointstore.h"

#include "storefailure.h"

#include <QFile>
#include <fcntl.h>
#include <sqlite3.h>
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
CREATE TABLE IF NOT EXISTS droppoint(
    code TEXT PRIMARY KEY,
    folder TEXT NOT NULL,
    receiver TEXT NOT NULL,
    senders TEXT NOT NULL,
    size_limit INTEGER NOT NULL,
    created_ms INTEGER NOT NULL,
    expires_ms INTEGER NOT NULL,
    owner INTEGER NOT NULL DEFAULT 0);
CREATE TABLE IF NOT EXISTS droppoint_file(
    code TEXT NOT NULL,
    name TEXT NOT NULL,
    saved_path TEXT NOT NULL,
    size INTEGER NOT NULL,
    sha256 BLOB NOT NULL,
    from_address TEXT NOT NULL,
    received_ms INTEGER NOT NULL,
    owner INTEGER NOT NULL DEFAULT 0);
CREATE TABLE IF NOT EXISTS droppoint_part(
    path TEXT PRIMARY KEY,
    code TEXT NOT NULL,
    device INTEGER NOT NULL,
    inode INTEGER NOT NULL,
    owner INTEGER NOT NULL DEFAULT 0);
CREATE TABLE IF NOT EXISTS droppoint_upload(
    token TEXT PRIMARY KEY,
    code TEXT NOT NULL,
    name TEXT NOT NULL,
    address TEXT NOT NULL,
    path TEXT NOT NULL,
    device INTEGER NOT NULL,
    inode INTEGER NOT NULL,
    length INTEGER NOT NULL,
    offset INTEGER NOT NULL,
    owner INTEGER NOT NULL DEFAULT 0);
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

DropPointStore::~DropPointStore()
{
    close();
}

void DropPointStore::close()
{
    release();
    m_path.clear();
}

QString DropPointStore::failure(const QString &what, int rc) const
{
    return what + QStringLiteral("（") + StoreFailure::reason(rc) + QStringLiteral("）。") +
           StoreFailure::advice(rc);
}

QString DropPointStore::open(const QString &path, int owner)
{
    m_path.clear();
    m_openProblem = openOnce(path, owner);
    if (m_openProblem.isEmpty())
        m_path = path;
    return m_openProblem;
}

void DropPointStore::release()
{
    if (m_db)
        sqlite3_close_v2(m_db);
    m_db = nullptr;
}

QString DropPointStore::reopen(const QString &what)
{
    if (m_db)
        return {};
    if (m_path.isEmpty())
        return what + QStringLiteral("。");
    return openOnce(m_path, m_owner);
}

QString DropPointStore::openOnce(const QString &path, int owner)
{
    release();
    m_owner = owner;
    const QString what = QStringLiteral("受け取り口の記録を履歴のファイル %1 に開けません").arg(path);
    const QByteArray nativePath = QFile::encodeName(path);
    // Made here when missing so that it is the user's alone from the first byte.
    const int fd = ::open(nativePath.constData(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0600);
    if (fd >= 0)
        ::close(fd);
    if (const int rc = sqlite3_open_v2(nativePath.constData(), &m_db,
                                       SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
        rc != SQLITE_OK) {
        release();
        return failure(what, rc);
    }
    sqlite3_extended_result_codes(m_db, 1);
    sqlite3_busy_timeout(m_db, 2000);
    for (const char *sql : {"PRAGMA journal_mode=WAL", "PRAGMA secure_delete=ON", schemaSql}) {
        if (const int rc = sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr); rc != SQLITE_OK) {
            release();
            return failure(what, rc);
        }
    }
    return {};
}

std::variant<QList<DropPointEntry>, QString> DropPointStore::loadAll()
{
    const QString what = QStringLiteral("受け取り口の一覧を読み込めません");
    if (const QString problem = reopen(what); !problem.isEmpty())
        return problem;
    sqlite3_stmt *raw = nullptr;
    int rc = sqlite3_prepare_v2(m_db,
                                "SELECT code, folder, receiver, senders, size_limit, created_ms, expires_ms "
                                "FROM droppoint WHERE owner = ? ORDER BY created_ms, code",
                                -1, &raw, nullptr);
    Statement statement(raw);
    if (rc != SQLITE_OK)
        return failure(what, rc);
    sqlite3_bind_int(raw, 1, m_owner);
    QList<DropPointEntry> entries;
    while ((rc = sqlite3_step(raw)) == SQLITE_ROW) {
        DropPointEntry entry;
        entry.code = columnText(raw, 0);
        entry.folder = columnText(raw, 1);
        entry.receiverName = columnText(raw, 2);
        entry.senders = columnText(raw, 3).split(QLatin1Char(' '), Qt::SkipEmptyParts);
        entry.sizeLimit = sqlite3_column_int64(raw, 4);
        entry.createdMs = sqlite3_column_int64(raw, 5);
        entry.expiresMs = sqlite3_column_int64(raw, 6);
        entries.append(entry);
    }
    if (rc != SQLITE_DONE)
        return failure(what, rc);
    return entries;
}

std::variant<QList<DropPointReceipt>, QString> DropPointStore::receipts()
{
    const QString what = QStringLiteral("受け取ったファイルの一覧を読み込めません");
    if (const QString problem = reopen(what); !problem.isEmpty())
        return problem;
    sqlite3_stmt *raw = nullptr;
    int rc = sqlite3_prepare_v2(m_db,
                                "SELECT code, name, saved_path, size, sha256, from_address, received_ms "
                                "FROM droppoint_file WHERE owner = ? ORDER BY rowid",
                                -1, &raw, nullptr);
    Statement statement(raw);
    if (rc != SQLITE_OK)
        return failure(what, rc);
    sqlite3_bind_int(raw, 1, m_owner);
    QList<DropPointReceipt> list;
    while ((rc = sqlite3_step(raw)) == SQLITE_ROW) {
        DropPointReceipt receipt;
        receipt.code = columnText(raw, 0);
        receipt.name = columnText(raw, 1);
        receipt.savedPath = columnText(raw, 2);
        receipt.size = sqlite3_column_int64(raw, 3);
        receipt.sha256 =
            QByteArray(static_cast<const char *>(sqlite3_column_blob(raw, 4)), sqlite3_column_bytes(raw, 4));
        receipt.fromAddress = columnText(raw, 5);
        receipt.receivedMs = sqlite3_column_int64(raw, 6);
        list.append(receipt);
    }
    if (rc != SQLITE_DONE)
        return failure(what, rc);
    return list;
}

QString DropPointStore::insert(const DropPointEntry &entry)
{
    const QString what = QStringLiteral("受け取り口 %1 を記録できません").arg(entry.code);
    if (const QString problem = reopen(what); !problem.isEmpty())
        return problem;
    sqlite3_stmt *raw = nullptr;
    int rc = sqlite3_prepare_v2(m_db,
                                "INSERT INTO droppoint(code, folder, receiver, senders, size_limit, "
                                "created_ms, expires_ms, owner) VALUES (?, ?, ?, ?, ?, ?, ?, ?)",
                                -1, &raw, nullptr);
    Statement statement(raw);
    if (rc != SQLITE_OK)
        return failure(what, rc);
    bindText(raw, 1, entry.code);
    bindText(raw, 2, entry.folder);
    bindText(raw, 3, entry.receiverName);
    bindText(raw, 4, entry.senders.join(QLatin1Char(' ')));
    sqlite3_bind_int64(raw, 5, entry.sizeLimit);
    sqlite3_bind_int64(raw, 6, entry.createdMs);
    sqlite3_bind_int64(raw, 7, entry.expiresMs);
    sqlite3_bind_int(raw, 8, m_owner);
    rc = sqlite3_step(raw);
    return rc == SQLITE_DONE ? QString() : failure(what, rc);
}

QString DropPointStore::remove(const QString &code)
{
    const QString what = QStringLiteral("受け取り口 %1 を記録から消せません").arg(code);
    if (const QString problem = reopen(what); !problem.isEmpty())
        return problem;
    // Its unfinished uploads go with it.
    for (const char *sql : {"DELETE FROM droppoint WHERE code = ? AND owner = ?",
                            "DELETE FROM droppoint_upload WHERE code = ? AND owner = ?"}) {
        sqlite3_stmt *raw = nullptr;
        int rc = sqlite3_prepare_v2(m_db, sql, -1, &raw, nullptr);
        Statement statement(raw);
        if (rc != SQLITE_OK)
            return failure(what, rc);
        bindText(raw, 1, code);
        sqlite3_bind_int(raw, 2, m_owner);
        rc = sqlite3_step(raw);
        if (rc != SQLITE_DONE)
            return failure(what, rc);
    }
    return {};
}

QString DropPointStore::addReceipt(const DropPointReceipt &receipt)
{
    const QString what = QStringLiteral("受け取ったファイル「%1」を記録できません").arg(receipt.name);
    if (const QString problem = reopen(what); !problem.isEmpty())
        return problem;
    sqlite3_stmt *raw = nullptr;
    int rc = sqlite3_prepare_v2(m_db,
                                "INSERT INTO droppoint_file(code, name, saved_path, size, sha256, "
                                "from_address, received_ms, owner) VALUES (?, ?, ?, ?, ?, ?, ?, ?)",
                                -1, &raw, nullptr);
    Statement statement(raw);
    if (rc != SQLITE_OK)
        return failure(what, rc);
    bindText(raw, 1, receipt.code);
    bindText(raw, 2, receipt.name);
    bindText(raw, 3, receipt.savedPath);
    sqlite3_bind_int64(raw, 4, receipt.size);
    sqlite3_bind_blob(raw, 5, receipt.sha256.constData(), int(receipt.sha256.size()), SQLITE_TRANSIENT);
    bindText(raw, 6, receipt.fromAddress);
    sqlite3_bind_int64(raw, 7, receipt.receivedMs);
    sqlite3_bind_int(raw, 8, m_owner);
    rc = sqlite3_step(raw);
    return rc == SQLITE_DONE ? QString() : failure(what, rc);
}

std::variant<QList<DropPointStore::StoredPart>, QString> DropPointStore::parts()
{
    const QString what = QStringLiteral("受け取り中のファイルの一覧を読み込めません");
    if (const QString problem = reopen(what); !problem.isEmpty())
        return problem;
    sqlite3_stmt *raw = nullptr;
    int rc = sqlite3_prepare_v2(m_db, "SELECT code, path, device, inode FROM droppoint_part WHERE owner = ?",
                                -1, &raw, nullptr);
    Statement statement(raw);
    if (rc != SQLITE_OK)
        return failure(what, rc);
    sqlite3_bind_int(raw, 1, m_owner);
    QList<StoredPart> list;
    while ((rc = sqlite3_step(raw)) == SQLITE_ROW)
        list.append({columnText(raw, 0), columnText(raw, 1), quint64(sqlite3_column_int64(raw, 2)),
                     quint64(sqlite3_column_int64(raw, 3))});
    if (rc != SQLITE_DONE)
        return failure(what, rc);
    return list;
}

QString DropPointStore::addPart(const StoredPart &part)
{
    const QString what = QStringLiteral("受け取り中のファイル %1 を記録できません").arg(part.path);
    if (const QString problem = reopen(what); !problem.isEmpty())
        return problem;
    sqlite3_stmt *raw = nullptr;
    int rc = sqlite3_prepare_v2(m_db,
                                "INSERT OR REPLACE INTO droppoint_part(path, code, device, inode, owner) "
                                "VALUES (?, ?, ?, ?, ?)",
                                -1, &raw, nullptr);
    Statement statement(raw);
    if (rc != SQLITE_OK)
        return failure(what, rc);
    bindText(raw, 1, part.path);
    bindText(raw, 2, part.code);
    sqlite3_bind_int64(raw, 3, qint64(part.device));
    sqlite3_bind_int64(raw, 4, qint64(part.inode));
    sqlite3_bind_int(raw, 5, m_owner);
    rc = sqlite3_step(raw);
    return rc == SQLITE_DONE ? QString() : failure(what, rc);
}

QString DropPointStore::removePart(const QString &path)
{
    const QString what = QStringLiteral("受け取り中のファイル %1 を記録から消せません").arg(path);
    if (const QString problem = reopen(what); !problem.isEmpty())
        return problem;
    sqlite3_stmt *raw = nullptr;
    int rc = sqlite3_prepare_v2(m_db, "DELETE FROM droppoint_part WHERE path = ?", -1, &raw, nullptr);
    Statement statement(raw);
    if (rc != SQLITE_OK)
        return failure(what, rc);
    bindText(raw, 1, path);
    rc = sqlite3_step(raw);
    return rc == SQLITE_DONE ? QString() : failure(what, rc);
}

std::variant<QList<ResumableUpload>, QString> DropPointStore::uploads()
{
    const QString what = QStringLiteral("続きを受け取れるファイルの一覧を読み込めません");
    if (const QString problem = reopen(what); !problem.isEmpty())
        return problem;
    sqlite3_stmt *raw = nullptr;
    int rc = sqlite3_prepare_v2(m_db,
                                "SELECT token, code, name, address, path, device, inode, length, offset "
                                "FROM droppoint_upload WHERE owner = ? ORDER BY rowid",
                                -1, &raw, nullptr);
    Statement statement(raw);
    if (rc != SQLITE_OK)
        return failure(what, rc);
    sqlite3_bind_int(raw, 1, m_owner);
    QList<ResumableUpload> list;
    while ((rc = sqlite3_step(raw)) == SQLITE_ROW) {
        ResumableUpload upload;
        upload.token = columnText(raw, 0);
        upload.code = columnText(raw, 1);
        upload.name = columnText(raw, 2);
        upload.address = columnText(raw, 3);
        upload.partPath = columnText(raw, 4);
        upload.device = quint64(sqlite3_column_int64(raw, 5));
        upload.inode = quint64(sqlite3_column_int64(raw, 6));
        upload.length = sqlite3_column_int64(raw, 7);
        upload.offset = sqlite3_column_int64(raw, 8);
        list.append(upload);
    }
    if (rc != SQLITE_DONE)
        return failure(what, rc);
    return list;
}

QString DropPointStore::saveUpload(const ResumableUpload &upload)
{
    const QString what = QStringLiteral("受け取り中のファイル %1 を記録できません").arg(upload.partPath);
    if (const QString problem = reopen(what); !problem.isEmpty())
        return problem;
    sqlite3_stmt *raw = nullptr;
    int rc = sqlite3_prepare_v2(m_db,
                                "INSERT OR REPLACE INTO droppoint_upload(token, code, name, address, path, "
                                "device, inode, length, offset, owner) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
                                -1, &raw, nullptr);
    Statement statement(raw);
    if (rc != SQLITE_OK)
        return failure(what, rc);
    bindText(raw, 1, upload.token);
    bindText(raw, 2, upload.code);
    bindText(raw, 3, upload.name);
    bindText(raw, 4, upload.address);
    bindText(raw, 5, upload.partPath);
    sqlite3_bind_int64(raw, 6, qint64(upload.device));
    sqlite3_bind_int64(raw, 7, qint64(upload.inode));
    sqlite3_bind_int64(raw, 8, upload.length);
    sqlite3_bind_int64(raw, 9, upload.offset);
    sqlite3_bind_int(raw, 10, m_owner);
    rc = sqlite3_step(raw);
    return rc == SQLITE_DONE ? QString() : failure(what, rc);
}

QString DropPointStore::removeUpload(const QString &token)
{
    const QString what = QStringLiteral("受け取り中のファイルを記録から消せません");
    if (const QString problem = reopen(what); !problem.isEmpty())
        return problem;
    sqlite3_stmt *raw = nullptr;
    int rc = sqlite3_prepare_v2(m_db, "DELETE FROM droppoint_upload WHERE token = ?", -1, &raw, nullptr);
    Statement statement(raw);
    if (rc != SQLITE_OK)
        return failure(what, rc);
    bindText(raw, 1, token);
    rc = sqlite3_step(raw);
    return rc == SQLITE_DONE ? QString() : failure(what, rc);
}
