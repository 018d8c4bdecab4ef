#include "keptsharing.h"

#include <QFile>
#include <QFileInfo>
#include <sqlite3.h>

namespace KeptSharing {

bool anything(const QString &databasePath)
{
    // No file, nothing kept: the stores make it when they are first needed.
    if (!QFileInfo::exists(databasePath))
        return false;
    sqlite3 *db = nullptr;
    const QByteArray path = QFile::encodeName(databasePath);
    if (sqlite3_open_v2(path.constData(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr) !=
        SQLITE_OK) {
        sqlite3_close_v2(db);
        return true;
    }
    // The history's writer may hold the file a moment; the stores wait longer, if it comes to that.
    sqlite3_busy_timeout(db, 100);
    // Each table is asked only if it exists: an earlier run may never have made it. Shares and drop
    // points are removed when they end, so any row is one to serve or an ending to tell.
    constexpr const char *sql = R"(
SELECT coalesce(sum(
    CASE name
    WHEN 'share' THEN 1
    WHEN 'droppoint' THEN 2
    WHEN 'droppoint_part' THEN 4
    WHEN 'download' THEN 8
    ELSE 0 END), 0)
FROM sqlite_schema WHERE type = 'table'
)";
    sqlite3_stmt *statement = nullptr;
    int tables = -1;
    if (sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) == SQLITE_OK &&
        sqlite3_step(statement) == SQLITE_ROW)
        tables = sqlite3_column_int(statement, 0);
    sqlite3_finalize(statement);
    if (tables < 0) {
        sqlite3_close_v2(db);
        return true;
    }
    QByteArray query;
    const auto ask = [&query](const char *exists) {
        query += query.isEmpty() ? "SELECT " : " OR ";
        query += exists;
    };
    if (tables & 1)
        ask("EXISTS(SELECT 1 FROM share)");
    if (tables & 2)
        ask("EXISTS(SELECT 1 FROM droppoint)");
    if (tables & 4)
        ask("EXISTS(SELECT 1 FROM droppoint_part)");
    // Finished, failed and cancelled downloads are only listed, which the window asks for itself.
    if (tables & 8)
        ask("EXISTS(SELECT 1 FROM download WHERE state NOT IN ('finished', 'failed', 'cancelled'))");
    bool kept = false;
    if (!query.isEmpty()) {
        kept = true;
        if (sqlite3_prepare_v2(db, query.constData(), -1, &statement, nullptr) == SQLITE_OK &&
            sqlite3_step(statement) == SQLITE_ROW)
            kept = sqlite3_column_int(statement, 0) != 0;
        sqlite3_finalize(statement);
    }
    sqlite3_close_v2(db);
    return kept;
}

} // namespace KeptSharing
