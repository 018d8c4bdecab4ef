#pragma once

#include "shareentry.h"

#include <QList>
#include <QString>
#include <optional>
#include <variant>

struct sqlite3;

// The shares and the share port, kept in the history's file in tables of their own, through a
// connection of its own on the window's thread. Every failure comes back as a message in Japanese
// that the window can show as it is: what failed and what the user can do. The connection may be
// let go while nothing is shared; the next read or write opens it again.
class ShareStore
{
public:
    struct StoredShare
    {
        ShareEntry entry;
        int downloads = 0; // finished downloads, over every run
    };

    ShareStore();
    ~ShareStore();
    ShareStore(const ShareStore &) = delete;
    ShareStore &operator=(const ShareStore &) = delete;

    // Opens the file, creating it when missing, and the tables when missing. Empty when ready.
    // owner tells the instances of one user apart (their chat ports) when they share the file:
    // each sees only its own shares and keeps its own port.
    QString open(const QString &path, int owner = 0);
    // open() succeeded and close() was not called since; the connection may be released.
    bool isOpen() const { return !m_path.isEmpty(); }
    // Why the last open() failed; empty when it did not.
    QString openProblem() const { return m_openProblem; }
    void close();
    // Closes the connection but stays open: the next call opens it again.
    void release();

    std::variant<QList<StoredShare>, QString> loadAll();
    // Each returns an empty string when done.
    QString insert(const ShareEntry &entry);
    QString setSha256(const QString &code, const QByteArray &sha256);
    QString setDownloads(const QString &code, int downloads);
    QString remove(const QString &code);
    // The port last used; nothing when none was kept.
    std::variant<std::optional<quint16>, QString> port();
    QString setPort(quint16 port);

private:
    QString openOnce(const QString &path);
    // The connection, opened again after release(); null with the failure in *problem.
    sqlite3 *connection(const QString &what, QString *problem);
    QString failure(const QString &what, int rc);
    QString exec(const QString &what, const char *sql);
    QString portKey() const;

    sqlite3 *m_db = nullptr;
    int m_owner = 0;
    QString m_path; // set while open
    QString m_openProblem;
};
