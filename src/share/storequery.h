#pragma once

#include <QByteArray>
#include <QString>

struct sqlite3;
struct sqlite3_stmt;

// One statement on a store's connection: prepared, its parameters bound in the order given, then
// stepped. The first failure's SQLite result code is kept, and what comes after it does nothing,
// so that a store method checks once, at the end.
class StoreQuery
{
public:
    StoreQuery(sqlite3 *db, const char *sql);
    ~StoreQuery();
    StoreQuery(const StoreQuery &) = delete;
    StoreQuery &operator=(const StoreQuery &) = delete;

    StoreQuery &bind(const QString &text);
    StoreQuery &bind(qint64 number);
    StoreQuery &bind(int number) { return bind(qint64(number)); }
    StoreQuery &bindBlob(const QByteArray &bytes);
    // Bytes kept as text (a header's value, say).
    StoreQuery &bindText(const QByteArray &utf8);
    // NULL for no bytes.
    StoreQuery &bindBlobOrNull(const QByteArray &bytes);

    // The next row; false at the end, and on a failure.
    bool next();
    // Steps through; true when it ran to the end.
    bool run();
    // SQLITE_OK, SQLITE_ROW or SQLITE_DONE while nothing failed; else the failure's code.
    int code() const { return m_code; }
    bool failed() const;

    QString text(int column) const;
    qint64 number(int column) const;
    // A text column's bytes too.
    QByteArray blob(int column) const;
    bool isNull(int column) const;

private:
    sqlite3_stmt *m_statement = nullptr;
    int m_code = 0;
    int m_index = 0;
};
