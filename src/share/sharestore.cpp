#include "sharestore.h"

#include "storefailure.h"
#include "storequery.h"

#include <QFile>
#include <QFileInfo>
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

namespace {

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
    StoreQuery query(db,
                     "SELECT code, path, name, size, device, inode, mtime_ns, sha256, recipients, "
                     "shared_ms, expires_ms, downloads FROM share WHERE owner = ? ORDER BY shared_ms, code");
    query.bind(m_owner);
    QList<StoredShare> shares;
    while (query.next()) {
        StoredShare stored;
        ShareEntry &entry = stored.entry;
        entry.code = query.text(0);
        entry.path = query.text(1);
        entry.name = query.text(2);
        entry.identity.size = query.number(3);
        entry.identity.device = quint64(query.number(4));
        entry.identity.inode = quint64(query.number(5));
        entry.identity.mtimeNs = query.number(6);
        entry.sha256 = query.blob(7);
        entry.recipients = query.text(8).split(QLatin1Char(' '), Qt::SkipEmptyParts);
        entry.sharedMs = query.number(9);
        entry.expiresMs = query.number(10);
        stored.downloads = int(query.number(11));
        shares.append(stored);
    }
    if (query.failed())
        return failure(what, query.code());
    return shares;
}

QString ShareStore::insert(const ShareEntry &entry)
{
    const QString what = QStringLiteral("共有「%1」を記録できません").arg(entry.name);
    QString problem;
    sqlite3 *db = connection(what, &problem);
    if (!db)
        return problem;
    StoreQuery query(db, "INSERT INTO share(code, path, name, size, device, inode, mtime_ns, sha256, "
                         "recipients, shared_ms, expires_ms, downloads, owner) "
                         "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, 0, ?)");
    query.bind(entry.code)
        .bind(entry.path)
        .bind(entry.name)
        .bind(entry.identity.size)
        .bind(qint64(entry.identity.device))
        .bind(qint64(entry.identity.inode))
        .bind(entry.identity.mtimeNs)
        .bindBlobOrNull(entry.sha256)
        .bind(entry.recipients.join(QLatin1Char(' ')))
        .bind(entry.sharedMs)
        .bind(entry.expiresMs)
        .bind(m_owner);
    return query.run() ? QString() : failure(what, query.code());
}

QString ShareStore::setSha256(const QString &code, const QByteArray &sha256)
{
    const QString what = QStringLiteral("共有 %1 のダイジェストを記録できません").arg(code);
    QString problem;
    sqlite3 *db = connection(what, &problem);
    if (!db)
        return problem;
    StoreQuery query(db, "UPDATE share SET sha256 = ? WHERE code = ?");
    return query.bindBlob(sha256).bind(code).run() ? QString() : failure(what, query.code());
}

QString ShareStore::setDownloads(const QString &code, int downloads)
{
    const QString what = QStringLiteral("共有 %1 のダウンロード数を記録できません").arg(code);
    QString problem;
    sqlite3 *db = connection(what, &problem);
    if (!db)
        return problem;
    StoreQuery query(db, "UPDATE share SET downloads = ? WHERE code = ?");
    return query.bind(downloads).bind(code).run() ? QString() : failure(what, query.code());
}

QString ShareStore::remove(const QString &code)
{
    const QString what = QStringLiteral("共有 %1 を記録から消せません").arg(code);
    QString problem;
    sqlite3 *db = connection(what, &problem);
    if (!db)
        return problem;
    StoreQuery query(db, "DELETE FROM share WHERE code = ?");
    return query.bind(code).run() ? QString() : failure(what, query.code());
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
    StoreQuery query(db, "SELECT value FROM share_settings WHERE key = ?");
    query.bind(portKey());
    if (!query.next()) {
        if (query.failed())
            return failure(what, query.code());
        return std::optional<quint16>();
    }
    const qint64 value = query.number(0);
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
    StoreQuery query(db, "INSERT OR REPLACE INTO share_settings(key, value) VALUES (?, ?)");
    return query.bind(portKey()).bind(int(port)).run() ? QString() : failure(what, query.code());
}
