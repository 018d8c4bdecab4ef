#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <optional>

struct sqlite3;

// One row of the download table: what a download needs to go on after either program restarts.
struct DownloadRecord
{
    qint64 id = 0;
    QString url;
    QString target; // the final path chosen; the path it ended under once finished
    QString part;
    qint64 size = -1; // the whole file's length; -1 while unknown
    QByteArray etag;
    QByteArray lastModified;
    QByteArray sha256; // from Repr-Digest; empty while unknown
    QString state;
    QString reason;
    qint64 startedMs = 0;

    friend bool operator==(const DownloadRecord &, const DownloadRecord &) = default;
};

// The download table in the history's file, on a connection of its own, which may be let go while
// no download runs: the next read or write opens it again. When the file cannot be used the table
// lives in memory for this run, and problem() says why.
class DownloadStore
{
public:
    // owner tells the instances of one user apart (their chat ports) when they share the file:
    // each resumes only its own downloads.
    explicit DownloadStore(const QString &path, int owner = 0);
    ~DownloadStore();
    DownloadStore(const DownloadStore &) = delete;
    DownloadStore &operator=(const DownloadStore &) = delete;

    // Why the file is not used (the table is then kept in memory); empty when it is. Says what
    // failed and what the user can do.
    QString problem() const { return m_problem; }
    // The last failure of a read or write, as text; empty after a success.
    QString lastError() const { return m_lastError; }
    // Closes the file's connection until the next read or write; the table in memory stays.
    void release();

    // Stores a new row and returns its id.
    std::optional<qint64> insert(const DownloadRecord &record);
    bool update(const DownloadRecord &record);
    bool remove(qint64 id);
    QList<DownloadRecord> all();

private:
    bool open(const QByteArray &path);
    void closeConnection();
    // The connection, opened again after release(); null when it cannot be had.
    sqlite3 *connection();
    bool exec(const char *sql);
    bool fail(const QString &what, int rc);

    sqlite3 *m_db = nullptr;
    QByteArray m_path; // empty once the table lives in memory
    int m_owner = 0;
    int m_lastCode = 0;
    QString m_problem;
    QString m_lastError;
};
