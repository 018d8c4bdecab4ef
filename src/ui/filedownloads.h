#pragma once

#include <QList>
#include <QObject>
#include <QUrl>

#include <functional>

// One download, or one upload into a drop point, as the downloads window lists it.
struct TransferRow
{
    enum class State { Running, Waiting, Finished, Failed, Cancelled };

    int id = 0;
    QString target; // the final path chosen
    qint64 received = 0;
    qint64 size = -1; // -1 while unknown
    double bytesPerSecond = 0;
    State state = State::Running;
    QString reason; // why it failed or waits
    QString from;   // the sender's address of an upload into a drop point; empty for a download
};

// The windows' side of downloading shared files: what the downloads do for them.
class FileDownloads : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;
    ~FileDownloads() override;

    // Starts fetching url into targetPath; returns the download's id.
    virtual int start(const QUrl &url, const QString &targetPath) = 0;
    virtual void cancel(int id) = 0;
    // The downloads, then the uploads running into drop points (ids below 0, never cancelled here).
    virtual QList<TransferRow> transfers() const = 0;
    // The name to propose for saving url: the sender's, asked for over the network; nameInLine when
    // the sender does not answer. done runs later, on the window's thread, exactly once.
    virtual void proposedName(const QUrl &url, const QString &nameInLine,
                              std::function<void(const QString &)> done) = 0;

signals:
    void changed(int id);
    void finished(int id, const QString &path);
    void failed(int id, const QString &reason);
};
