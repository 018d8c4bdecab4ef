#pragma once

#include "shareentry.h"
#include "sharelifetime.h"
#include "sharetable.h"

#include <QHash>
#include <QObject>
#include <QThreadPool>
#include <atomic>
#include <memory>
#include <optional>
#include <variant>

class Scheduler;
class ShareStore;
class Timer;

// One share as the shares window shows it; running transfers come from the server.
struct ShareStatus
{
    ShareEntry entry;
    ShareLifetime lifetime = ShareLifetime::OneDay;
    int downloads = 0; // finished, over every run
};

// The list of shares, on the window's thread: kept in the store, published to the table the server
// reads, each ended when it expires, when it is stopped, or when its file changes. The file's
// SHA-256 is computed once, on a worker thread. While nothing is shared the store's connection is
// let go.
class ShareRegistry : public QObject
{
    Q_OBJECT

public:
    static constexpr quint16 firstPort = 50012;
    static constexpr quint16 lastPort = 50019;

    // store may be null: the shares then last only until the program ends.
    ShareRegistry(ShareStore *store, ShareTable &table, Scheduler &scheduler, ShareNow now,
                  QObject *parent = nullptr);
    ~ShareRegistry() override;

    // Loads the stored shares that still hold: not expired, not "until the program ends" (those
    // were the previous run's) and with their file unchanged.
    void start();

    // Shares a regular, readable file; the new entry, or why it cannot be shared.
    std::variant<ShareEntry, QString> share(const QString &path, ShareLifetime lifetime,
                                            const QStringList &recipients);
    void stop(const QString &code);
    // At the program's end: the "until the program ends" shares go.
    void stopAll();

    QList<ShareStatus> shares() const;
    int count() const { return int(m_shares.size()); }
    std::optional<ShareEntry> find(const QString &code) const;

    // The port last used; nothing when none was kept (then firstPort..lastPort in turn).
    std::optional<quint16> preferredPort() const { return m_port; }
    void rememberPort(quint16 port);

    // True once the store failed: nothing is kept past the program's end.
    bool inMemoryOnly() const { return m_store == nullptr; }
    // The store's failure, as told by problem(); empty when none.
    QString problemText() const { return m_problemText; }

    // What a share's duration makes of it.
    static ShareLifetime lifetimeOf(const ShareEntry &entry);

public slots:
    // The server found the file different from the one shared: the share ends.
    void fileChanged(const QString &code);
    // Downloads finished per code since the server started, as it counts them.
    void setDownloadCounts(const QHash<QString, int> &finishedSinceStart);

signals:
    void changed();
    void ended(const QString &code, const QString &reason);
    void digestReady(const QString &code);
    // The store failed; told once, as the shares then last only until the program ends.
    void problem(const QString &message);

private:
    struct Share
    {
        ShareEntry entry;
        int downloadsBefore = 0; // finished in earlier runs
        int downloadsNow = 0;    // finished in this run
        std::shared_ptr<std::atomic<bool>> hashCancelled;
    };
    enum class HashOutcome { Done, Changed, Unreadable, Cancelled };

    void end(const QString &code, const QString &reason, ShareTable::Ending why = ShareTable::Ending::Ended);
    void computeDigest(Share &share);
    void digestComputed(const QString &code, const FileIdentity &identity, HashOutcome outcome,
                        const QByteArray &sha256);
    void armExpiry();
    void expire();
    // A store failure: from then on everything stays in memory.
    void storeFailed(const QString &message);
    // The store's connection is held only while something is shared.
    void releaseStoreWhenIdle();

    ShareStore *m_store;
    ShareTable &m_table;
    std::unique_ptr<Timer> m_expiryTimer;
    ShareNow m_now;
    QHash<QString, Share> m_shares;
    std::optional<quint16> m_port;
    QString m_problemText;
    QThreadPool m_hashers;
};
