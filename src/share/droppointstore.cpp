#include "droppointstore.h"

#include "storefailure.h"
#include "storequery.h"

#include <QFile>
#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cerrno>

namespace {

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
    StoreQuery query(m_db, "SELECT code, folder, receiver, senders, size_limit, created_ms, expires_ms "
                           "FROM droppoint WHERE owner = ? ORDER BY created_ms, code");
    query.bind(m_owner);
    QList<DropPointEntry> entries;
    while (query.next()) {
        DropPointEntry entry;
        entry.code = query.text(0);
        entry.folder = query.text(1);
        entry.receiverName = query.text(2);
        entry.senders = query.text(3).split(QLatin1Char(' '), Qt::SkipEmptyParts);
        entry.sizeLimit = query.number(4);
        entry.createdMs = query.number(5);
        entry.expiresMs = query.number(6);
        entries.append(entry);
    }
    if (query.failed())
        return failure(what, query.code());
    return entries;
}

std::variant<QList<DropPointReceipt>, QString> DropPointStore::receipts()
{
    const QString what = QStringLiteral("受け取ったファイルの一覧を読み込めません");
    if (const QString problem = reopen(what); !problem.isEmpty())
        return problem;
    StoreQuery query(m_db, "SELECT code, name, saved_path, size, sha256, from_address, received_ms "
                           "FROM droppoint_file WHERE owner = ? ORDER BY rowid");
    query.bind(m_owner);
    QList<DropPointReceipt> list;
    while (query.next()) {
        DropPointReceipt receipt;
        receipt.code = query.text(0);
        receipt.name = query.text(1);
        receipt.savedPath = query.text(2);
        receipt.size = query.number(3);
        receipt.sha256 = query.blob(4);
        receipt.fromAddress = query.text(5);
        receipt.receivedMs = query.number(6);
        list.append(receipt);
    }
    if (query.failed())
        return failure(what, query.code());
    return list;
}

QString DropPointStore::insert(const DropPointEntry &entry)
{
    const QString what = QStringLiteral("受け取り口 %1 を記録できません").arg(entry.code);
    if (const QString problem = reopen(what); !problem.isEmpty())
        return problem;
    StoreQuery query(m_db, "INSERT INTO droppoint(code, folder, receiver, senders, size_limit, "
                           "created_ms, expires_ms, owner) VALUES (?, ?, ?, ?, ?, ?, ?, ?)");
    query.bind(entry.code)
        .bind(entry.folder)
        .bind(entry.receiverName)
        .bind(entry.senders.join(QLatin1Char(' ')))
        .bind(entry.sizeLimit)
        .bind(entry.createdMs)
        .bind(entry.expiresMs)
        .bind(m_owner);
    return query.run() ? QString() : failure(what, query.code());
}

QString DropPointStore::remove(const QString &code)
{
    const QString what = QStringLiteral("受け取り口 %1 を記録から消せません").arg(code);
    if (const QString problem = reopen(what); !problem.isEmpty())
        return problem;
    // Its unfinished uploads go with it.
    for (const char *sql : {"DELETE FROM droppoint WHERE code = ? AND owner = ?",
                            "DELETE FROM droppoint_upload WHERE code = ? AND owner = ?"}) {
        StoreQuery query(m_db, sql);
        if (!query.bind(code).bind(m_owner).run())
            return failure(what, query.code());
    }
    return {};
}

QString DropPointStore::addReceipt(const DropPointReceipt &receipt)
{
    const QString what = QStringLiteral("受け取ったファイル「%1」を記録できません").arg(receipt.name);
    if (const QString problem = reopen(what); !problem.isEmpty())
        return problem;
    StoreQuery query(m_db, "INSERT INTO droppoint_file(code, name, saved_path, size, sha256, "
                           "from_address, received_ms, owner) VALUES (?, ?, ?, ?, ?, ?, ?, ?)");
    query.bind(receipt.code)
        .bind(receipt.name)
        .bind(receipt.savedPath)
        .bind(receipt.size)
        .bindBlob(receipt.sha256)
        .bind(receipt.fromAddress)
        .bind(receipt.receivedMs)
        .bind(m_owner);
    return query.run() ? QString() : failure(what, query.code());
}

std::variant<QList<DropPointStore::StoredPart>, QString> DropPointStore::parts()
{
    const QString what = QStringLiteral("受け取り中のファイルの一覧を読み込めません");
    if (const QString problem = reopen(what); !problem.isEmpty())
        return problem;
    StoreQuery query(m_db, "SELECT code, path, device, inode FROM droppoint_part WHERE owner = ?");
    query.bind(m_owner);
    QList<StoredPart> list;
    while (query.next())
        list.append({query.text(0), query.text(1), quint64(query.number(2)), quint64(query.number(3))});
    if (query.failed())
        return failure(what, query.code());
    return list;
}

QString DropPointStore::addPart(const StoredPart &part)
{
    const QString what = QStringLiteral("受け取り中のファイル %1 を記録できません").arg(part.path);
    if (const QString problem = reopen(what); !problem.isEmpty())
        return problem;
    StoreQuery query(m_db, "INSERT OR REPLACE INTO droppoint_part(path, code, device, inode, owner) "
                           "VALUES (?, ?, ?, ?, ?)");
    query.bind(part.path).bind(part.code).bind(qint64(part.device)).bind(qint64(part.inode)).bind(m_owner);
    return query.run() ? QString() : failure(what, query.code());
}

QString DropPointStore::removePart(const QString &path)
{
    const QString what = QStringLiteral("受け取り中のファイル %1 を記録から消せません").arg(path);
    if (const QString problem = reopen(what); !problem.isEmpty())
        return problem;
    StoreQuery query(m_db, "DELETE FROM droppoint_part WHERE path = ?");
    return query.bind(path).run() ? QString() : failure(what, query.code());
}

std::variant<QList<ResumableUpload>, QString> DropPointStore::uploads()
{
    const QString what = QStringLiteral("続きを受け取れるファイルの一覧を読み込めません");
    if (const QString problem = reopen(what); !problem.isEmpty())
        return problem;
    StoreQuery query(m_db, "SELECT token, code, name, address, path, device, inode, length, offset "
                           "FROM droppoint_upload WHERE owner = ? ORDER BY rowid");
    query.bind(m_owner);
    QList<ResumableUpload> list;
    while (query.next()) {
        ResumableUpload upload;
        upload.token = query.text(0);
        upload.code = query.text(1);
        upload.name = query.text(2);
        upload.address = query.text(3);
        upload.partPath = query.text(4);
        upload.device = quint64(query.number(5));
        upload.inode = quint64(query.number(6));
        upload.length = query.number(7);
        upload.offset = query.number(8);
        list.append(upload);
    }
    if (query.failed())
        return failure(what, query.code());
    return list;
}

QString DropPointStore::saveUpload(const ResumableUpload &upload)
{
    const QString what = QStringLiteral("受け取り中のファイル %1 を記録できません").arg(upload.partPath);
    if (const QString problem = reopen(what); !problem.isEmpty())
        return problem;
    StoreQuery query(m_db, "INSERT OR REPLACE INTO droppoint_upload(token, code, name, address, path, "
                           "device, inode, length, offset, owner) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
    query.bind(upload.token)
        .bind(upload.code)
        .bind(upload.name)
        .bind(upload.address)
        .bind(upload.partPath)
        .bind(qint64(upload.device))
        .bind(qint64(upload.inode))
        .bind(upload.length)
        .bind(upload.offset)
        .bind(m_owner);
    return query.run() ? QString() : failure(what, query.code());
}

QString DropPointStore::removeUpload(const QString &token)
{
    const QString what = QStringLiteral("受け取り中のファイルを記録から消せません");
    if (const QString problem = reopen(what); !problem.isEmpty())
        return problem;
    StoreQuery query(m_db, "DELETE FROM droppoint_upload WHERE token = ?");
    return query.bind(token).run() ? QString() : failure(what, query.code());
}
