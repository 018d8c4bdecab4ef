#pragma once

#include "droppointentry.h"

#include <QList>
#include <QString>
#include <variant>

struct sqlite3;

// The drop points and the files received through them, kept in the history's file beside the
// shares, through a connection of its own on the window's thread, which may be let go while no
// drop point is open. Failures come back as a message
// in Japanese: what failed and what the user can do.
class DropPointStore
{
public:
    DropPointStore() = default;
    ~DropPointStore();
    DropPointStore(const DropPointStore &) = delete;
    DropPointStore &operator=(const DropPointStore &) = delete;

    // Opens the file (it must exist or be creatable) and the tables. Empty when ready. owner: as
    // for ShareStore, the chat port of the instance.
    QString open(const QString &path, int owner = 0);
    // open() succeeded and close() was not called since; the connection may be released.
    bool isOpen() const { return !m_path.isEmpty(); }
    // Why the last open() failed; empty when it did not.
    QString openProblem() const { return m_openProblem; }
    void close();
    // Closes the connection but stays open: the next call opens it again.
    void release();

    std::variant<QList<DropPointEntry>, QString> loadAll();
    std::variant<QList<DropPointReceipt>, QString> receipts();
    // Each returns an empty string when done.
    QString insert(const DropPointEntry &entry);
    // Removes the drop point; its received files stay listed.
    QString remove(const QString &code);
    QString addReceipt(const DropPointReceipt &receipt);

    // The .part files of uploads under way, so that those a crash left are removed at the next start.
    struct StoredPart
    {
        QString code;
        QString path;
        quint64 device = 0;
        quint64 inode = 0;
    };
    std::variant<QList<StoredPart>, QString> parts();
    QString addPart(const StoredPart &part);
    QString removePart(const QString &path);

    // Resumable uploads, so that they go on after a restart; saveUpload adds or replaces one.
    std::variant<QList<ResumableUpload>, QString> uploads();
    QString saveUpload(const ResumableUpload &upload);
    QString removeUpload(const QString &token);

private:
    QString openOnce(const QString &path, int owner);
    // Opens the connection again after release(); the failure's text otherwise.
    QString reopen(const QString &what);
    QString failure(const QString &what, int rc) const;

    sqlite3 *m_db = nullptr;
    int m_owner = 0;
    QString m_path; // set while open
    QString m_openProblem;
};
