#pragma once

#include "base/scheduler.h"
#include "downloadstore.h"
#include "shareentry.h"

#include <QList>
#include <QObject>
#include <QUrl>

#include <functional>
#include <map>
#include <memory>

class QNetworkAccessManager;

enum class TransferState { Running, WaitingForSender, Paused, Finished, Failed, Cancelled };

// What the downloads window shows of one download.
struct TransferStatus
{
    int id = 0;
    QUrl url;
    QString target; // the chosen path; once finished, the path it ended under
    qint64 received = 0;
    qint64 total = -1;         // -1 while unknown
    qint64 bytesPerSecond = 0; // over the last few seconds
    qint64 secondsLeft = -1;   // -1 while unknown
    TransferState state = TransferState::Running;
    QString reason; // why it waits, paused or failed, in words for the user
};

// The downloads of shared files, on the window's thread. Each writes `target.part` beside the
// chosen path, goes on by itself after any interruption (Range + If-Range), checks the SHA-256
// the sender announces, and only then takes the final name, never replacing a file.
class Transfers : public QObject
{
    Q_OBJECT

public:
    // Gives the network manager, made when first asked for: the program holds none until a download
    // or a question to a sender needs it.
    using Network = std::function<QNetworkAccessManager &()>;

    // store may be null: downloads then do not outlive the program.
    Transfers(DownloadStore *store, Network network, Scheduler &scheduler, ShareNow now,
              QObject *parent = nullptr);
    Transfers(DownloadStore *store, QNetworkAccessManager &network, Scheduler &scheduler, ShareNow now,
              QObject *parent = nullptr);
    ~Transfers() override;

    // Starts a download of url into targetPath (the final path the user chose); returns its id.
    int start(const QUrl &url, const QString &targetPath);
    // Picks up the downloads the store holds: unfinished ones go on from their .part's size.
    void resumeAll();
    // Stops a download and deletes its .part.
    void cancel(int id);
    // Drops a download that is over (finished, failed, cancelled) from the list and the store.
    void remove(int id);

    QList<TransferStatus> transfers() const;
    std::optional<TransferStatus> status(int id) const;

    // Asks the sender (HEAD) for the file's name; done gets it, or nameInLine, or the URL's last
    // segment when the sender does not answer or has none. done runs on the window's thread.
    void proposedName(const QUrl &url, const QString &nameInLine, std::function<void(const QString &)> done);
    // The first of the sender's Content-Disposition, the name in the line and the URL's last segment
    // that leaves a name once made safe (SafeFileName::baseName).
    static QString nameToPropose(const QByteArray &contentDisposition, const QString &nameInLine,
                                 const QUrl &url);

    // The pauses between attempts while the sender is away, in ms; the last one repeats.
    static QList<int> retryDelays();

signals:
    void changed(int id);
    void finished(int id, const QString &path);
    void failed(int id, const QString &reason);

private:
    struct Job;

    Job *findJob(int id) const;
    // Whether target's .part exists or another download that is not over writes it.
    bool partTaken(const QString &target) const;
    void begin(Job &job);
    void hashPart(Job &job);
    void sendGet(Job &job);
    void onHeaders(Job &job);
    void onData(Job &job);
    void onReplyFinished(Job &job);
    void interrupted(Job &job, TransferState state, const QString &reason);
    void scheduleRetry(Job &job, int ms);
    void restartFromZero(Job &job);
    void complete(Job &job);
    // A share link's sender gave no digest for the finished .part: wait for it, or end.
    void unchecked(Job &job, int status, bool sameFile);
    void verify(Job &job);
    void fail(Job &job, const QString &reason, bool deletePart);
    void setState(Job &job, TransferState state, const QString &reason);
    void save(Job &job);
    // The store's file connection is held only while a download is not over.
    void releaseStoreWhenIdle();
    void dropReply(Job &job);
    void sample(Job &job);

    DownloadStore *m_store;
    Network m_network;
    Scheduler &m_scheduler;
    ShareNow m_now;
    std::map<int, std::unique_ptr<Job>> m_jobs;
    int m_nextId = 1;
};
