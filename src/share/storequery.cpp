#include "storequery.h"

#include <sqlite3.h>

StoreQuery::StoreQuery(sqlite3 *db, const char *sql)
{
    m_code = sqlite3_prepare_v2(db, sql, -1, &m_statement, nullptr);
}

StoreQuery::~StoreQuery()
{
    sqlite3_finalize(m_statement);
}

bool StoreQuery::failed() const
{
    return m_code != SQLITE_OK && m_code != SQLITE_ROW && m_code != SQLITE_DONE;
}

StoreQuery &StoreQuery::bind(const QString &text)
{
    return bindText(text.toUtf8());
}

StoreQuery &StoreQuery::bindText(const QByteArray &utf8)
{
    if (!failed())
        m_code =
            sqlite3_bind_text(m_statement, ++m_index, utf8.constData(), int(utf8.size()), SQLITE_TRANSIENT);
    return *this;
}

StoreQuery &StoreQuery::bind(qint64 number)
{
    if (!failed())
        m_code = sqlite3_bind_int64(m_statement, ++m_index, number);
    return *this;
}

StoreQuery &StoreQuery::bindBlob(const QByteArray &bytes)
{
    if (!failed())
        m_code =
            sqlite3_bind_blob(m_statement, ++m_index, bytes.constData(), int(bytes.size()), SQLITE_TRANSIENT);
    return *this;
}

StoreQuery &StoreQuery::bindBlobOrNull(const QByteArray &bytes)
{
    if (!bytes.isEmpty())
        return bindBlob(bytes);
    if (!failed())
        m_code = sqlite3_bind_null(m_statement, ++m_index);
    return *this;
}

bool StoreQuery::next()
{
    if (failed() || m_code == SQLITE_DONE)
        return false;
    m_code = sqlite3_step(m_statement);
    return m_code == SQLITE_ROW;
}

bool StoreQuery::run()
{
    while (next()) {
    }
    return m_code == SQLITE_DONE;
}

QString StoreQuery::text(int column) const
{
    return QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(m_statement, column)),
                             sqlite3_column_bytes(m_statement, column));
}

qint64 StoreQuery::number(int column) const
{
    return sqlite3_column_int64(m_statement, column);
}

QByteArray StoreQuery::blob(int column) const
{
    return QByteArray(static_cast<const char *>(sqlite3_column_blob(m_statement, column)),
                      sqlite3_column_bytes(m_statement, column));
}

bool StoreQuery::isNull(int column) const
{
    return sqlite3_column_type(m_statement, column) == SQLITE_NULL;
}
