#pragma once

#include "droppointentry.h"
#include "shareentry.h"
#include "uploadreceiver.h"

#include <QHostAddress>
#include <QList>
#include <QObject>
#include <memory>
#include <optional>

class DropPointTable;
class Scheduler;
class ShareTable;

// A download being served, for the shares window.
struct ServedTransfer
{
    QString code;
    QString address;
    qint64 sent = 0;
    qint64 total = 0; // the bytes of this response (a range's length for a range)
};

// How much the share server lets its clients hold.
struct ShareServerLimits
{
    // Connections held at once; when all are taken, a connection still waiting for its request
    // head makes room for a new one (see shareserver.cpp).
    int connections = 64;
    // A request head must arrive whole within this time of the connection's start; a later
    // head on the same connection within the idle time of the request before.
    int headDeadlineMs = 10'000;
    // What an upload must leave free on the drop point folder's file system; empty: the shipped
    // rule, UploadReceiver::shippedFloor.
    FreeSpaceFloor freeSpaceFloor;
};

// The HTTP server of the shared files: libmicrohttpd on threads of its own, answering only
// GET/HEAD /f/CODE from the ShareTable, and taking uploads under /u/CODE into the drop points of a
// DropPointTable (uploadreceiver.cpp). Lives on the window's thread; its signals arrive queued.
class ShareServer : public QObject
{
    Q_OBJECT

public:
    using Limits = ShareServerLimits;

    ShareServer(ShareTable &table, ShareNow now, Scheduler &scheduler, Limits limits = Limits(),
                QObject *parent = nullptr);
    ~ShareServer() override;

    // Takes uploads for the drop points in table (which must outlive the server); without it every
    // code under /u/ is unknown. Called before listen().
    void setDropPoints(DropPointTable *table);

    // Starts serving on the address and port (0: any free one); the failure's text otherwise.
    std::optional<QString> listen(const QHostAddress &address, quint16 port);
    // Stops serving; running downloads are cut.
    void close();
    quint16 port() const;

    QList<ServedTransfer> running() const;
    // Downloads of the share that received the whole file, or its last part (see shareserver.cpp).
    int finishedCount(const QString &code) const;
    // The addresses the guessing throttle remembers now.
    int throttledAddresses() const;
    // Connections open now, and those of them waiting for a request head.
    int connections() const;
    int waitingForHead() const;

signals:
    // The file of a share is no longer the one that was shared: the share should end.
    void fileChanged(const QString &code);
    void downloadFinished(const QString &code, const QString &address);
    // A file arrived whole through a drop point.
    void uploadReceived(const DropPointReceipt &receipt);
    // An upload into a drop point stopped on the receiver's side (disk full, write error).
    void uploadFailed(const QString &code, const QString &name, const QString &reason);
    // The .part of an upload was created, and it is gone again (complete or removed).
    void uploadPartCreated(const QString &code, const QString &path, quint64 device, quint64 inode);
    void uploadPartGone(const QString &path);
    // A resumable upload was created or its offset moved, and it is gone (complete or cancelled).
    void uploadResumableSaved(const ResumableUpload &upload);
    void uploadResumableGone(const QString &token);

private:
    struct Private;
    std::unique_ptr<Private> d;
};
