#pragma once

#include "droppointentry.h"
#include "sharelifetime.h"

#include <QHash>
#include <QObject>
#include <memory>
#include <variant>

class DropPointStore;
class DropPointTable;
class Scheduler;
class Timer;

// The open drop points, on the window's thread: kept in the store (except those "until the program
// ends"), published to the table the server reads, ended when they expire or are stopped. Files
// that arrive are recorded in the store and told by fileReceived().
//
// Use: open() gives the entry whose code makes the link http://ADDR:PORT/u/CODE (the share
// server's address and port); list() for the window; stop() when the user closes one. The
// server's uploadReceived, uploadFailed, uploadPartCreated, uploadPartGone, resumableSaved and
// resumableGone go to the slots of those names (SharedFiles connects them).
class DropPointRegistry : public QObject
{
    Q_OBJECT

public:
    // store may be null: drop points then last only until the program ends.
    DropPointRegistry(DropPointStore *store, DropPointTable &table, Scheduler &scheduler, ShareNow now,
                      QObject *parent = nullptr);
    ~DropPointRegistry() override;

    // Loads the stored drop points that still hold (not expired, not "until the program ends").
    void start();

    // Opens a drop point into folder (an existing, writable directory). lifetime: OneHour, OneDay
    // or UntilEnd (SevenDays is taken as OneDay). senders empty: anybody on the LAN. sizeLimit:
    // bytes over all its uploads (0 or less: the default).
    // The new entry, or the reason in Japanese that the window can show.
    std::variant<DropPointEntry, QString> open(const QString &folder, ShareLifetime lifetime,
                                               const QStringList &senders, const QString &receiverName,
                                               qint64 sizeLimit = DropPointEntry::defaultSizeLimit);
    // Closes the drop point: uploads running into it stop, their .part files are removed.
    void stop(const QString &code);
    // At the program's end: the "until the program ends" drop points close.
    void stopAll();

    QList<DropPointEntry> list() const;
    int count() const { return int(m_entries.size()); }
    // The files received through a drop point, over every run, oldest first.
    QList<DropPointReceipt> received(const QString &code) const;

public slots:
    // From the server: a file arrived whole.
    void receive(const DropPointReceipt &receipt);
    // From the server: an upload stopped (disk full, write error) and its .part was removed.
    void fail(const QString &code, const QString &name, const QString &reason);
    // From the server: an upload's .part was created, and is gone again. Recorded, so that what a
    // crash leaves is removed at the next start.
    void partCreated(const QString &code, const QString &path, quint64 device, quint64 inode);
    void partGone(const QString &path);
    // From the server: a resumable upload was created or its offset moved, and it is gone
    // (complete, cancelled or failed). Recorded, so that it goes on after a restart.
    void resumableSaved(const ResumableUpload &upload);
    void resumableGone(const QString &token);

signals:
    void changed();
    void fileReceived(const QString &code, const QString &name, qint64 size, const QByteArray &sha256,
                      const QString &fromAddress, const QString &savedPath);
    void uploadFailed(const QString &code, const QString &name, const QString &reason);
    void ended(const QString &code);
    // The store failed; told once, as drop points then last only until the program ends.
    void problem(const QString &message);

private:
    void end(const QString &code);
    // The resumable uploads kept by the last run, into the drop points that still hold.
    void resumeUploads();
    void armExpiry();
    void expire();
    void storeFailed(const QString &message);
    // The store's connection is held only while a drop point is open.
    void releaseStoreWhenIdle();

    DropPointStore *m_store;
    DropPointTable &m_table;
    std::unique_ptr<Timer> m_expiryTimer;
    ShareNow m_now;
    QHash<QString, DropPointEntry> m_entries;
    QHash<QString, QList<DropPointReceipt>> m_received;
};
