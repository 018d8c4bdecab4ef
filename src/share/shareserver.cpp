#include "shareserver.h"

#include "base/systemerror.h"
#include "connectionstate.h"
#include "droppointtable.h"
#include "httpfields.h"
#include "microhttpdlibrary.h"
#include "missthrottle.h"
#include "sharecode.h"
#include "sharetable.h"

#include "base/scheduler.h"

#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QMutex>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr unsigned int connectionsPerAddress = 8;
constexpr unsigned int idleTimeoutSeconds = 30;
constexpr qsizetype headLimit = 8 * 1024;
// A connection's pool holds its request head, so a head bigger than this is refused by the library
// before it is read whole; heads between headLimit and this are refused here.
constexpr size_t connectionMemory = 24 * 1024;
// pread() into the response's own buffer (one per download, 64 MiB at most): 512 KiB gave 0.81x
// nginx on a veth, 1 MiB 0.91x (bench/share_throughput.sh).
constexpr size_t readBlock = 1024 * 1024;
constexpr unsigned int serverThreads = 2;

const QByteArray plainText = QByteArrayLiteral("text/plain; charset=utf-8");

QByteArray endedText()
{
    return QStringLiteral("この共有は終わりました（期限が来たか、送り主が共有をやめました）。\n"
                          "This share has ended: it expired or the sender stopped sharing it.\n")
        .toUtf8();
}

QByteArray statusText(unsigned int status)
{
    switch (status) {
    case MHD_HTTP_FORBIDDEN:
        return QStringLiteral("このファイルはあなた宛てに共有されていません。\n"
                              "This file was not shared with your address.\n")
            .toUtf8();
    case MHD_HTTP_NOT_FOUND:
        return QStringLiteral(
                   "この共有は見つかりません。リンクが正しいか、共有が終わっていないか送り主に確かめてくださ"
                   "い。\n"
                   "No such share: check the link, or ask the sender whether the share has ended.\n")
            .toUtf8();
    case MHD_HTTP_METHOD_NOT_ALLOWED:
        return QStringLiteral("GET と HEAD だけを受け付けます。\nOnly GET and HEAD are served.\n").toUtf8();
    case MHD_HTTP_GONE:
        return QStringLiteral(
                   "共有したあとでファイルが変更・移動されたため、この共有は終わりました。送り主にもう一度共"
                   "有してもらってください。\n"
                   "The file was changed or moved after it was shared, so the share has ended. Ask the "
                   "sender to share it again.\n")
            .toUtf8();
    case MHD_HTTP_RANGE_NOT_SATISFIABLE:
        return QStringLiteral(
                   "要求された範囲はファイルの外です。\nThe requested range lies outside the file.\n")
            .toUtf8();
    case MHD_HTTP_TOO_MANY_REQUESTS:
        return QStringLiteral("誤ったリンクが多すぎます。1 分ほど待ってからやり直してください。\n"
                              "Too many wrong links from your address: try again in a minute.\n")
            .toUtf8();
    case MHD_HTTP_REQUEST_HEADER_FIELDS_TOO_LARGE:
        return QStringLiteral("要求のヘッダーが大きすぎます (8 KiB まで)。\nThe request head is too large (8 "
                              "KiB at most).\n")
            .toUtf8();
    default:
        return QStringLiteral("送り主のコンピューターでファイルを読めませんでした。\n"
                              "The sender's computer could not read the file.\n")
            .toUtf8();
    }
}

QString failureText(const QHostAddress &address, quint16 port, int error)
{
    QString reason;
    switch (error) {
    case EADDRINUSE: reason = QStringLiteral("ポートが使用中です"); break;
    case EADDRNOTAVAIL: reason = QStringLiteral("このアドレスはこのコンピューターにありません"); break;
    case EACCES: reason = QStringLiteral("このポートを開く権限がありません"); break;
    default: reason = SystemError::text(error);
    }
    return QStringLiteral("共有ファイルのサーバーを %1 のポート %2 で開けませんでした: %3")
        .arg(address.toString())
        .arg(port)
        .arg(reason);
}

} // namespace

struct ShareServer::Private
{
    struct Running
    {
        ServedTransfer transfer;
        bool reachesEnd = false;
    };

    // Owned by the connection (con_cls) from the moment a file response is queued.
    struct Request : ConnectionState
    {
        explicit Request(quint64 id_) : id(id_) {}
        quint64 id = 0;
    };

    // Owned by the response; the library calls read() from its threads and release() at the end.
    struct Reader
    {
        Private *server = nullptr;
        int descriptor = -1;
        FileIdentity identity;
        qint64 offset = 0;
        qint64 length = 0;
        quint64 id = 0; // 0 for HEAD: nothing to count
        QString code;
    };

    // A connection as the slot keeping sees it.
    struct Connection
    {
        QString address;
        int descriptor = -1;
        qint64 waitingSince = 0; // on `clock`; 0 while a request is being answered
        bool first = true;       // waiting for the first head of the connection
        bool closing = false;    // shut down here; the library closes it at its next turn
    };

    Private(ShareServer *owner, ShareTable &shares, ShareNow now_, Scheduler &scheduler, Limits limits_)
        : q(owner), table(shares), now(now_), throttle(std::move(now_)), limits(std::move(limits_)),
          sweepTimer(scheduler.createTimer(Timer::Repeating, Qt::CoarseTimer))
    {
        clock.start();
    }

    static MHD_Result answer(void *cls, MHD_Connection *connection, const char *url, const char *method,
                             const char *version, const char *uploadData, size_t *uploadDataSize,
                             void **connectionState);
    static void completed(void *cls, MHD_Connection *connection, void **connectionState,
                          MHD_RequestTerminationCode termination);
    static ssize_t read(void *cls, uint64_t position, char *buffer, size_t max);
    static void release(void *cls);
    static void connectionChanged(void *cls, MHD_Connection *connection, void **socketContext,
                                  MHD_ConnectionNotificationCode code);

    void headArrived(MHD_Connection *connection);
    // Shuts the connection's socket down; the library's threads then end its request.
    void endRequest(const void *connection);
    static void shutDownLocked(Connection &connection);
    void requestEnded(MHD_Connection *connection);
    void makeRoomLocked();
    void sweep();
    qint64 headDeadlineMs(const Connection &connection) const;

    MHD_Result serve(MHD_Connection *connection, const QString &address, const char *url, bool head,
                     void **connectionState);
    MHD_Result queueText(MHD_Connection *connection, unsigned int status,
                         const QList<std::pair<const char *, QByteArray>> &fields = {},
                         const QByteArray &text = {});
    void reportChanged(const QString &code);

    ShareServer *q;
    ShareTable &table;
    ShareNow now;
    MissThrottle throttle;
    const Limits limits;
    std::unique_ptr<UploadReceiver> uploads; // made by the first listen() with drop points set
    DropPointTable *dropPoints = nullptr;
    QElapsedTimer clock;
    std::unique_ptr<Timer> sweepTimer;      // runs while connections are open
    const MicrohttpdLibrary *mhd = nullptr; // set by the first listen(), before any callback
    MHD_Daemon *daemon = nullptr;
    quint16 port = 0;

    mutable QMutex mutex; // guards what follows
    QHash<quint64, Running> running;
    QHash<QString, int> finished;
    QHash<MHD_Connection *, Connection> connections;
    quint64 nextId = 1;
};

namespace {

struct HeadSize
{
    qsizetype bytes = 0;
};

MHD_Result addFieldSize(void *cls, MHD_ValueKind, const char *key, const char *value)
{
    static_cast<HeadSize *>(cls)->bytes +=
        qsizetype(std::strlen(key)) + (value ? qsizetype(std::strlen(value)) : 0) + 4;
    return MHD_YES;
}

QString clientAddress(const MicrohttpdLibrary &mhd, MHD_Connection *connection)
{
    const auto *info = mhd.getConnectionInfo(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    if (!info || !info->client_addr)
        return {};
    return QHostAddress(info->client_addr).toString();
}

} // namespace

MHD_Result ShareServer::Private::answer(void *cls, MHD_Connection *connection, const char *url,
                                        const char *method, const char *version, const char *uploadData,
                                        size_t *uploadDataSize, void **connectionState)
{
    auto *self = static_cast<Private *>(cls);
    self->headArrived(connection);
    // The body of an upload under way: the head was looked at on the first call.
    if (*connectionState && self->uploads)
        return self->uploads->answer(connection, clientAddress(*self->mhd, connection), url, method,
                                     uploadData, uploadDataSize, connectionState);
    // The library keeps at most connectionMemory of a head; the rest of the limit is counted here.
    HeadSize head{qsizetype(std::strlen(method) + std::strlen(url) + std::strlen(version) + 4)};
    self->mhd->getConnectionValues(connection, MHD_HEADER_KIND, addFieldSize, &head);
    self->mhd->getConnectionValues(connection, MHD_GET_ARGUMENT_KIND, addFieldSize, &head);
    if (head.bytes > headLimit)
        return self->queueText(connection, MHD_HTTP_REQUEST_HEADER_FIELDS_TOO_LARGE,
                               {{"Connection", "close"}});

    const QString address = clientAddress(*self->mhd, connection);
    if (const qint64 blockedMs = self->throttle.blockedForMs(address); blockedMs > 0) {
        return self->queueText(connection, MHD_HTTP_TOO_MANY_REQUESTS,
                               {{MHD_HTTP_HEADER_RETRY_AFTER, QByteArray::number((blockedMs + 999) / 1000)}});
    }
    if (self->uploads && QByteArrayView(url).startsWith("/u/"))
        return self->uploads->answer(connection, address, url, method, uploadData, uploadDataSize,
                                     connectionState);
    const bool get = std::strcmp(method, MHD_HTTP_METHOD_GET) == 0;
    const bool head_ = std::strcmp(method, MHD_HTTP_METHOD_HEAD) == 0;
    if (!get && !head_) {
        return self->queueText(connection, MHD_HTTP_METHOD_NOT_ALLOWED,
                               {{MHD_HTTP_HEADER_ALLOW, "GET, HEAD"}, {"Connection", "close"}});
    }
    return self->serve(connection, address, url, head_, connectionState);
}

MHD_Result ShareServer::Private::serve(MHD_Connection *connection, const QString &address, const char *url,
                                       bool head, void **connectionState)
{
    // The library hands the URL percent-decoded; only "/f/" and a code reach the table, so "..",
    // "%2e%2e" or anything else never names a file.
    const QByteArrayView path(url);
    const QString code =
        path.startsWith("/f/") ? ShareCode::normalized(QString::fromLatin1(path.sliced(3))) : QString();
    const auto entry = code.isEmpty() ? std::nullopt : table.find(code);
    if (!entry) {
        // A link that went round for a share that has ended is not a guess.
        if (const auto why = code.isEmpty() ? std::nullopt : table.ending(code)) {
            return queueText(connection, MHD_HTTP_GONE, {},
                             *why == ShareTable::Ending::Changed ? statusText(MHD_HTTP_GONE) : endedText());
        }
        // Only a wrong code on a capability path is a guess: a browser asks for /favicon.ico on its
        // own, and a user who types only the address and port asks for "/".
        if (path.startsWith("/f/"))
            throttle.recordMiss(address);
        return queueText(connection, MHD_HTTP_NOT_FOUND);
    }
    if (!entry->servesTo(address))
        return queueText(connection, MHD_HTTP_FORBIDDEN);

    const int descriptor = ::open(QFile::encodeName(entry->path).constData(), O_RDONLY | O_CLOEXEC);
    if (descriptor < 0 && errno != ENOENT)
        return queueText(connection, MHD_HTTP_INTERNAL_SERVER_ERROR);
    const auto identity = descriptor < 0 ? std::nullopt : FileIdentity::of(descriptor);
    if (!identity || *identity != entry->identity) {
        if (descriptor >= 0)
            ::close(descriptor);
        reportChanged(code);
        return queueText(connection, MHD_HTTP_GONE);
    }

    const qint64 size = identity->size;
    const QByteArray etag = identity->etag();
    const qint64 lastModified = identity->mtimeNs / 1000000000;
    HttpFields::RangeRequest range;
    if (const char *rangeField =
            mhd->lookupConnectionValue(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_RANGE)) {
        const char *ifRange =
            mhd->lookupConnectionValue(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_IF_RANGE);
        if (!ifRange || HttpFields::ifRangeMatches(ifRange, etag, lastModified))
            range = HttpFields::parseRange(rangeField, size);
    }
    if (range.kind == HttpFields::RangeKind::Unsatisfiable) {
        ::close(descriptor);
        return queueText(connection, MHD_HTTP_RANGE_NOT_SATISFIABLE,
                         {{MHD_HTTP_HEADER_CONTENT_RANGE, "bytes */" + QByteArray::number(size)},
                          {MHD_HTTP_HEADER_ACCEPT_RANGES, "bytes"}});
    }
    const bool part = range.kind == HttpFields::RangeKind::Part;
    const HttpFields::ByteRange bytes = part ? range.range : HttpFields::ByteRange{0, size - 1};

    auto *reader = new Reader{this, descriptor, *identity, bytes.first, bytes.length(), 0, code};
    MHD_Response *response = mhd->createResponseFromCallback(uint64_t(reader->length), readBlock,
                                                             &Private::read, reader, &Private::release);
    if (!response) {
        release(reader);
        return MHD_NO;
    }
    mhd->addResponseHeader(response, MHD_HTTP_HEADER_ACCEPT_RANGES, "bytes");
    if (part) {
        const QByteArray contentRange = "bytes " + QByteArray::number(bytes.first) + '-' +
                                        QByteArray::number(bytes.last) + '/' + QByteArray::number(size);
        mhd->addResponseHeader(response, MHD_HTTP_HEADER_CONTENT_RANGE, contentRange.constData());
    }
    mhd->addResponseHeader(response, MHD_HTTP_HEADER_CONTENT_TYPE,
                           HttpFields::contentType(entry->name).constData());
    mhd->addResponseHeader(response, MHD_HTTP_HEADER_CONTENT_DISPOSITION,
                           HttpFields::contentDisposition(entry->name).constData());
    mhd->addResponseHeader(response, MHD_HTTP_HEADER_LAST_MODIFIED,
                           HttpFields::httpDate(lastModified).constData());
    mhd->addResponseHeader(response, MHD_HTTP_HEADER_ETAG, etag.constData());
    if (entry->sha256.size() == 32)
        mhd->addResponseHeader(response, "Repr-Digest", HttpFields::reprDigest(entry->sha256).constData());
    mhd->addResponseHeader(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
    for (const auto &[name, value] : HttpFields::protectiveHeaders)
        mhd->addResponseHeader(response, name, value);

    if (!head) {
        const QMutexLocker locker(&mutex);
        reader->id = nextId++;
        // A download counts as finished when a response reaching the file's end was delivered whole:
        // a download resumed after an interruption is counted once, when its last part arrives.
        running.insert(reader->id, {{code, address, 0, reader->length}, bytes.last == size - 1});
        *connectionState = static_cast<ConnectionState *>(new Request(reader->id));
    }
    const MHD_Result queued =
        mhd->queueResponse(connection, part ? MHD_HTTP_PARTIAL_CONTENT : MHD_HTTP_OK, response);
    mhd->destroyResponse(response);
    return queued;
}

ssize_t ShareServer::Private::read(void *cls, uint64_t position, char *buffer, size_t max)
{
    auto *reader = static_cast<Reader *>(cls);
    if (qint64(position) >= reader->length)
        return MHD_CONTENT_READER_END_OF_STREAM;
    const size_t wanted = size_t(qMin<qint64>(qint64(max), reader->length - qint64(position)));
    ssize_t got;
    do {
        got = ::pread(reader->descriptor, buffer, wanted, off_t(reader->offset + qint64(position)));
    } while (got < 0 && errno == EINTR);
    // The bytes just read leave only if the file is still the one shared: a write changes the
    // modification time before the data, so a chunk with new bytes always meets a new identity.
    const auto identity = FileIdentity::of(reader->descriptor);
    if (got <= 0 || !identity || *identity != reader->identity) {
        reader->server->reportChanged(reader->code);
        return MHD_CONTENT_READER_END_WITH_ERROR;
    }
    if (reader->id != 0) {
        const QMutexLocker locker(&reader->server->mutex);
        const auto found = reader->server->running.find(reader->id);
        if (found != reader->server->running.end())
            found->transfer.sent = qint64(position) + got;
    }
    return got;
}

void ShareServer::Private::release(void *cls)
{
    auto *reader = static_cast<Reader *>(cls);
    ::close(reader->descriptor);
    delete reader;
}

void ShareServer::Private::completed(void *cls, MHD_Connection *connection, void **connectionState,
                                     MHD_RequestTerminationCode termination)
{
    auto *self = static_cast<Private *>(cls);
    self->requestEnded(connection);
    auto *state = static_cast<ConnectionState *>(*connectionState);
    *connectionState = nullptr;
    auto *request = dynamic_cast<Request *>(state);
    if (!request) {
        // An upload: what it left unfinished goes with it.
        delete state;
        return;
    }
    std::optional<Running> done;
    {
        const QMutexLocker locker(&self->mutex);
        done = self->running.take(request->id);
        if (termination == MHD_REQUEST_TERMINATED_COMPLETED_OK && done->reachesEnd)
            ++self->finished[done->transfer.code];
    }
    delete request;
    if (termination == MHD_REQUEST_TERMINATED_COMPLETED_OK && done->reachesEnd) {
        ShareServer *q = self->q;
        QMetaObject::invokeMethod(
            q,
            [q, code = done->transfer.code, address = done->transfer.address] {
                emit q->downloadFinished(code, address);
            },
            Qt::QueuedConnection);
    }
}

// Slow heads. The idle timeout never fires for a client that sends a byte of its head now and then,
// so every head has a deadline of its own, and when all slots are taken a new connection takes the
// slot of one still waiting for its head: of the address holding the most connections, the one
// that has waited longest. Slow clients from a few addresses thus cannot keep a colleague out,
// whose connection sends its head at once and is then answered; nor can they close a running
// download. Connections are shut down here and closed by the library's threads, which notice the
// end of the stream at once.
void ShareServer::Private::connectionChanged(void *cls, MHD_Connection *connection, void **,
                                             MHD_ConnectionNotificationCode code)
{
    auto *self = static_cast<Private *>(cls);
    const QMutexLocker locker(&self->mutex);
    if (code == MHD_CONNECTION_NOTIFY_CLOSED) {
        // The library closes the socket after this returns: no shutdown() below meets a reused one.
        self->connections.remove(connection);
        return;
    }
    Connection opened;
    opened.address = clientAddress(*self->mhd, connection);
    if (const auto *info = self->mhd->getConnectionInfo(connection, MHD_CONNECTION_INFO_CONNECTION_FD))
        opened.descriptor = info->connect_fd;
    opened.waitingSince = qMax<qint64>(1, self->clock.elapsed());
    const bool wasIdle = self->connections.isEmpty();
    self->connections.insert(connection, opened);
    self->makeRoomLocked();
    if (wasIdle) {
        QMetaObject::invokeMethod(
            self->q,
            [self] {
                const int interval = qBound(50, self->limits.headDeadlineMs / 4, 1000);
                if (!self->sweepTimer->isActive())
                    self->sweepTimer->start(interval);
            },
            Qt::QueuedConnection);
    }
}

void ShareServer::Private::headArrived(MHD_Connection *connection)
{
    const QMutexLocker locker(&mutex);
    const auto found = connections.find(connection);
    if (found != connections.end())
        found->waitingSince = 0;
}

void ShareServer::Private::endRequest(const void *connection)
{
    const QMutexLocker locker(&mutex);
    const auto found = connections.find(static_cast<MHD_Connection *>(const_cast<void *>(connection)));
    if (found != connections.end() && !found->closing)
        shutDownLocked(*found);
}

void ShareServer::Private::shutDownLocked(Connection &connection)
{
    connection.closing = true;
    if (connection.descriptor >= 0)
        ::shutdown(connection.descriptor, SHUT_RDWR);
}

void ShareServer::Private::requestEnded(MHD_Connection *connection)
{
    const QMutexLocker locker(&mutex);
    const auto found = connections.find(connection);
    if (found != connections.end()) {
        found->waitingSince = qMax<qint64>(1, clock.elapsed());
        found->first = false;
    }
}

void ShareServer::Private::makeRoomLocked()
{
    QHash<QString, int> perAddress;
    int open = 0;
    for (const Connection &connection : std::as_const(connections)) {
        if (connection.closing)
            continue;
        ++open;
        ++perAddress[connection.address];
    }
    if (open <= limits.connections)
        return;
    Connection *chosen = nullptr;
    for (Connection &connection : connections) {
        if (connection.closing || connection.waitingSince == 0)
            continue;
        if (!chosen || perAddress.value(connection.address) > perAddress.value(chosen->address) ||
            (perAddress.value(connection.address) == perAddress.value(chosen->address) &&
             connection.waitingSince < chosen->waitingSince))
            chosen = &connection;
    }
    // The new connection itself waits for its head, so there is always one to close.
    if (chosen)
        shutDownLocked(*chosen);
}

qint64 ShareServer::Private::headDeadlineMs(const Connection &connection) const
{
    // A kept-alive connection may rest between requests as long as any idle one.
    return connection.first ? limits.headDeadlineMs
                            : qMax<qint64>(limits.headDeadlineMs, qint64(idleTimeoutSeconds) * 1000);
}

void ShareServer::Private::sweep()
{
    const QMutexLocker locker(&mutex);
    const qint64 now = clock.elapsed();
    for (Connection &connection : connections) {
        if (connection.closing || connection.waitingSince == 0 ||
            now - connection.waitingSince < headDeadlineMs(connection))
            continue;
        shutDownLocked(connection);
    }
    if (connections.isEmpty())
        sweepTimer->stop();
}

MHD_Result ShareServer::Private::queueText(MHD_Connection *connection, unsigned int status,
                                           const QList<std::pair<const char *, QByteArray>> &fields,
                                           const QByteArray &text)
{
    QByteArray body = text.isEmpty() ? statusText(status) : text;
    MHD_Response *response =
        mhd->createResponseFromBuffer(size_t(body.size()), body.data(), MHD_RESPMEM_MUST_COPY);
    if (!response)
        return MHD_NO;
    mhd->addResponseHeader(response, MHD_HTTP_HEADER_CONTENT_TYPE, plainText.constData());
    mhd->addResponseHeader(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
    for (const auto &[name, value] : HttpFields::protectiveHeaders)
        mhd->addResponseHeader(response, name, value);
    for (const auto &[name, value] : fields)
        mhd->addResponseHeader(response, name, value.constData());
    const MHD_Result queued = mhd->queueResponse(connection, status, response);
    mhd->destroyResponse(response);
    return queued;
}

void ShareServer::Private::reportChanged(const QString &code)
{
    QMetaObject::invokeMethod(
        q, [q = q, code] { emit q->fileChanged(code); }, Qt::QueuedConnection);
}

ShareServer::ShareServer(ShareTable &table, ShareNow now, Scheduler &scheduler, Limits limits,
                         QObject *parent)
    : QObject(parent), d(std::make_unique<Private>(this, table, std::move(now), scheduler, limits))
{
    connect(d->sweepTimer.get(), &Timer::timeout, this, [this] { d->sweep(); });
}

ShareServer::~ShareServer()
{
    close();
}

std::optional<QString> ShareServer::listen(const QHostAddress &address, quint16 port)
{
    close();
    QString missing;
    d->mhd = MicrohttpdLibrary::shared(&missing);
    if (!d->mhd)
        return missing;
    if (d->dropPoints && !d->uploads) {
        UploadReceiver::Events events;
        events.received = [this](const DropPointReceipt &receipt) {
            QMetaObject::invokeMethod(
                this, [this, receipt] { emit uploadReceived(receipt); }, Qt::QueuedConnection);
        };
        events.failed = [this](const QString &code, const QString &name, const QString &reason) {
            QMetaObject::invokeMethod(
                this, [this, code, name, reason] { emit uploadFailed(code, name, reason); },
                Qt::QueuedConnection);
        };
        events.partCreated = [this](const QString &code, const QString &path, quint64 device, quint64 inode) {
            QMetaObject::invokeMethod(
                this, [=, this] { emit uploadPartCreated(code, path, device, inode); }, Qt::QueuedConnection);
        };
        events.partGone = [this](const QString &path) {
            QMetaObject::invokeMethod(
                this, [=, this] { emit uploadPartGone(path); }, Qt::QueuedConnection);
        };
        events.resumableSaved = [this](const ResumableUpload &upload) {
            QMetaObject::invokeMethod(
                this, [=, this] { emit uploadResumableSaved(upload); }, Qt::QueuedConnection);
        };
        events.resumableGone = [this](const QString &token) {
            QMetaObject::invokeMethod(
                this, [=, this] { emit uploadResumableGone(token); }, Qt::QueuedConnection);
        };
        events.endRequest = [self = d.get()](const void *connection) { self->endRequest(connection); };
        d->uploads = std::make_unique<UploadReceiver>(*d->mhd, *d->dropPoints, d->throttle,
                                                      d->limits.freeSpaceFloor, d->now, std::move(events));
    }
    if (d->uploads)
        d->uploads->wakeAll(false);
    // Our own socket, so that "port in use" reaches the user as such.
    const bool v6 = address.protocol() == QAbstractSocket::IPv6Protocol;
    const int socket = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (socket < 0)
        return failureText(address, port, errno);
    const int on = 1;
    ::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_storage storage = {};
    socklen_t length = 0;
    if (v6) {
        auto *in6 = reinterpret_cast<sockaddr_in6 *>(&storage);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(port);
        const Q_IPV6ADDR bytes = address.toIPv6Address();
        std::memcpy(&in6->sin6_addr, &bytes, sizeof in6->sin6_addr);
        length = sizeof *in6;
    } else {
        auto *in4 = reinterpret_cast<sockaddr_in *>(&storage);
        in4->sin_family = AF_INET;
        in4->sin_port = htons(port);
        in4->sin_addr.s_addr = htonl(address.toIPv4Address());
        length = sizeof *in4;
    }
    if (::bind(socket, reinterpret_cast<sockaddr *>(&storage), length) != 0 || ::listen(socket, 128) != 0 ||
        ::getsockname(socket, reinterpret_cast<sockaddr *>(&storage), &length) != 0) {
        const int error = errno;
        ::close(socket);
        return failureText(address, port, error);
    }
    const quint16 bound = ntohs(v6 ? reinterpret_cast<sockaddr_in6 *>(&storage)->sin6_port
                                   : reinterpret_cast<sockaddr_in *>(&storage)->sin_port);

    const int connectionSlots = qMax(1, d->limits.connections);
    d->daemon = d->mhd->startDaemon(
        MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL | MHD_ALLOW_SUSPEND_RESUME | (v6 ? MHD_USE_IPv6 : 0),
        0, nullptr, nullptr, &Private::answer, d.get(), MHD_OPTION_LISTEN_SOCKET, socket,
        MHD_OPTION_THREAD_POOL_SIZE, serverThreads,
        // The library splits its limit among the threads; the slots are kept here, over all of them,
        // with room for the connections being closed.
        MHD_OPTION_CONNECTION_LIMIT, unsigned(2 * connectionSlots), MHD_OPTION_PER_IP_CONNECTION_LIMIT,
        connectionsPerAddress, MHD_OPTION_CONNECTION_TIMEOUT, idleTimeoutSeconds,
        MHD_OPTION_CONNECTION_MEMORY_LIMIT, connectionMemory, MHD_OPTION_NOTIFY_COMPLETED,
        &Private::completed, d.get(), MHD_OPTION_NOTIFY_CONNECTION, &Private::connectionChanged, d.get(),
        MHD_OPTION_END);
    if (!d->daemon) {
        ::close(socket);
        return QStringLiteral("共有ファイルのサーバーを %1 のポート %2 で始められませんでした")
            .arg(address.toString())
            .arg(port);
    }
    d->port = bound;
    return std::nullopt;
}

void ShareServer::close()
{
    if (d->uploads)
        d->uploads->wakeAll(true);
    if (d->daemon)
        d->mhd->stopDaemon(d->daemon);
    d->daemon = nullptr;
    d->port = 0;
    d->sweepTimer->stop();
    const QMutexLocker locker(&d->mutex);
    d->running.clear();
    d->connections.clear();
}

void ShareServer::setDropPoints(DropPointTable *table)
{
    d->dropPoints = table;
}

quint16 ShareServer::port() const
{
    return d->port;
}

QList<ServedTransfer> ShareServer::running() const
{
    const QMutexLocker locker(&d->mutex);
    QList<ServedTransfer> transfers;
    for (const auto &item : std::as_const(d->running))
        transfers.append(item.transfer);
    return transfers;
}

int ShareServer::finishedCount(const QString &code) const
{
    const QMutexLocker locker(&d->mutex);
    return d->finished.value(code);
}

int ShareServer::throttledAddresses() const
{
    return d->throttle.trackedAddresses();
}

int ShareServer::connections() const
{
    const QMutexLocker locker(&d->mutex);
    return int(d->connections.size());
}

int ShareServer::waitingForHead() const
{
    const QMutexLocker locker(&d->mutex);
    int waiting = 0;
    for (const auto &connection : std::as_const(d->connections))
        waiting += connection.waitingSince != 0;
    return waiting;
}
