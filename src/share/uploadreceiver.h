#pragma once

#include "droppointentry.h"
#include "droppointtable.h"
#include "hashqueue.h"

#include <QHash>
#include <QList>
#include <QMutex>
#include <QString>
#include <functional>
#include <memory>
#include <microhttpd.h>

class MissThrottle;
struct ConnectionState;
struct MicrohttpdLibrary;

// The bytes a folder's file system must keep free, given its capacity; an upload that would
// leave less is refused (507).
using FreeSpaceFloor = std::function<qint64(qint64 capacityBytes)>;

// Takes uploads into drop points for the share server: PUT /u/CODE/NAME and POST /u/CODE as
// multipart/form-data, streamed from the library's buffer into NAME.part in the drop point's
// folder, renamed to a free name when complete. Resumable uploads (the HTTP working group's
// resumable uploads, draft 12): POST /u/CODE with Upload-Complete creates the resource
// /u/CODE/r/TOKEN, which HEAD, PATCH and DELETE ask, append to and cancel. Called from the
// server's threads, one call at a time per connection.
class UploadReceiver
{
public:
    struct Events
    {
        std::function<void(const DropPointReceipt &)> received;
        std::function<void(const QString &code, const QString &name, const QString &reason)> failed;
        // A .part was created, and it is gone (renamed or removed).
        std::function<void(const QString &code, const QString &path, quint64 device, quint64 inode)>
            partCreated;
        std::function<void(const QString &path)> partGone;
        // A resumable upload was created or its offset moved (synced), and it is gone.
        std::function<void(const ResumableUpload &upload)> resumableSaved;
        std::function<void(const QString &token)> resumableGone;
        // Asks the server to end the request on this connection (shut its socket down).
        std::function<void(const void *connection)> endRequest;
    };

    // Header fields of an answer.
    using Fields = QList<std::pair<const char *, QByteArray>>;

    // max(1 GiB, 5 % of the capacity).
    static qint64 shippedFloor(qint64 capacityBytes);

    UploadReceiver(const MicrohttpdLibrary &mhd, DropPointTable &table, MissThrottle &throttle,
                   FreeSpaceFloor floor, ShareNow now, Events events);

    // A request under /u/, at each of the library's calls for it.
    MHD_Result answer(MHD_Connection *connection, const QString &address, const char *url, const char *method,
                      const char *uploadData, size_t *uploadDataSize, void **connectionState);
    // The request is over: an upload that did not complete leaves nothing behind.
    void completed(ConnectionState *state);
    // Wakes every request waiting for another to end; with closing, none waits from then on (the
    // library refuses to stop while a connection is suspended).
    void wakeAll(bool closing);

private:
    struct Upload;
    struct Waited;

    MHD_Result start(MHD_Connection *connection, const QString &address, const char *url, const char *method,
                     void **connectionState, bool waited);
    MHD_Result resource(MHD_Connection *connection, const DropPointEntry &entry, const QString &address,
                        const QString &token, const char *method, void **connectionState, bool waited);
    // The resumable upload for a request: held by it (hold) or as it stands. While another request
    // holds it, that one is ended and this one suspended until it has (Waiting), once; after that,
    // Busy, or as it stands when not to be held.
    enum class Taken { Taken, Waiting, Busy, Gone };
    Taken take(MHD_Connection *connection, const QString &code, const QString &token, bool hold, bool waited,
               void **connectionState, DropPointTable::Resumable *taken);
    // The request that held the resource has ended: those waiting for it are resumed.
    void wake(const QString &token);
    MHD_Result create(MHD_Connection *connection, std::unique_ptr<Upload> upload, void **connectionState);
    MHD_Result append(MHD_Connection *connection, std::unique_ptr<Upload> upload,
                      const DropPointTable::Resumable &held, void **connectionState);
    MHD_Result finishResumable(MHD_Connection *connection, Upload &upload);
    // The request on a resumable upload ends without completing it: the .part keeps what it holds.
    void suspend(Upload &upload);
    // A resumable upload that cannot go on is forgotten; its .part is removed by discardFile().
    void forget(Upload &upload);
    MHD_Result proceed(MHD_Connection *connection, Upload &upload, const char *data, size_t *size);
    static MHD_Result postIterator(void *cls, MHD_ValueKind kind, const char *key, const char *filename,
                                   const char *contentType, const char *transferEncoding, const char *data,
                                   uint64_t offset, size_t size);
    bool beginFile(Upload &upload, const QString &proposed);
    bool write(Upload &upload, const char *data, size_t size);
    // Writes what was gathered, and hands it to the hashing.
    bool flush(Upload &upload);
    bool finishFile(Upload &upload);
    void discardFile(Upload &upload);
    // The digest of every byte written so far, once the hashing threads have caught up.
    const std::shared_ptr<Sha256> &settledHash(Upload &upload);
    void fail(Upload &upload, unsigned int status, const QString &reason);
    bool roomFor(int descriptor, qint64 bytes) const;
    MHD_Result queue(MHD_Connection *connection, unsigned int status, const QByteArray &type,
                     const QByteArray &body, const Fields &fields = {});
    MHD_Result queueFailure(MHD_Connection *connection, const Upload &upload);
    MHD_Result queueResult(MHD_Connection *connection, const Upload &upload, const Fields &fields = {});

    const MicrohttpdLibrary &m_mhd;
    DropPointTable &m_table;
    MissThrottle &m_throttle;
    FreeSpaceFloor m_floor;
    ShareNow m_now;
    Events m_events;
    HashQueue m_hashes;

    QMutex m_waitMutex;                                // guards what follows; taken before the table's
    QHash<QString, QList<MHD_Connection *>> m_waiters; // suspended, by token
    bool m_closing = false;
};
