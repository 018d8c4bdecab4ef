#include "uploadreceiver.h"

#include "base/systemerror.h"
#include "connectionstate.h"
#include "droppointtable.h"
#include "httpfields.h"
#include "microhttpdlibrary.h"
#include "missthrottle.h"
#include "safefilename.h"
#include "sha256.h"
#include "sharecode.h"
#include "uploadpage.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace {

// The library's post processor keeps at most this of a multipart body at a time.
constexpr size_t postBuffer = 32 * 1024;
// What is read and dropped of a refused upload's body so that the sender hears why (a second
// or so on the LAN).
constexpr qint64 droppedLimit = 64 * 1024 * 1024;
// A resumable upload's token: 17 of the code alphabet's 31 characters carry 84 random bits.
constexpr int tokenLength = 17;
constexpr QByteArrayView partialUpload = "application/partial-upload";
// The library hands an upload over in pieces of about 12 KiB; they are gathered into one write,
// which then goes to the hashing threads whole. Hashing runs beside receiving, on as many threads as
// the server has; at most 1 MiB of an upload and 4 MiB over all wait to be hashed, so that even 64
// connections add no more than 12 MiB.
constexpr qsizetype gatherSize = 128 * 1024;
constexpr int hashThreads = 2;
constexpr qsizetype hashedPerUpload = 1024 * 1024;
constexpr qsizetype hashedTotal = 4 * 1024 * 1024;

struct Saved
{
    QString name;
    qint64 size = 0;
    QByteArray sha256;
};

QByteArray text(const char *japanese, const char *english)
{
    return QByteArray(japanese) + '\n' + QByteArray(english) + '\n';
}

// Upload-Limit: the drop point's size limit, and the seconds it has left when it ends at a time.
std::pair<const char *, QByteArray> limitField(const DropPointEntry &entry, qint64 nowMs)
{
    QByteArray limit = "max-size=" + QByteArray::number(entry.sizeLimit);
    if (entry.expiresMs > 0)
        limit += ", max-age=" + QByteArray::number(qMax<qint64>(0, entry.expiresMs - nowMs) / 1000);
    return {"Upload-Limit", limit};
}

QString reasonText(unsigned int status)
{
    switch (status) {
    case MHD_HTTP_GONE:
        return QStringLiteral("この受け取り口は閉じられました（期限が来たか、受け取る人が閉じました）。\n"
                              "This drop point has closed: it expired or the receiver closed it.");
    case MHD_HTTP_CONTENT_TOO_LARGE:
        return QStringLiteral("この受け取り口の上限を超えます。小さくするか、受け取る人に上限を上げてもらって"
                              "ください。\nThis would pass the drop point's size limit: send less, or ask "
                              "the receiver for a larger limit.");
    case MHD_HTTP_INSUFFICIENT_STORAGE:
        return QStringLiteral(
            "受け取る人のディスクの空きが足りません。受け取る人に空きを作ってもらってください。\n"
            "The receiver's disk has too little free space: ask the receiver to make room.");
    case MHD_HTTP_FORBIDDEN:
        return QStringLiteral("この受け取り口はあなたのアドレスからは使えません。\n"
                              "This drop point does not take files from your address.");
    case MHD_HTTP_NOT_FOUND:
        return QStringLiteral("この受け取り口は見つかりません。リンクを受け取る人に確かめてください。\n"
                              "No such drop point: check the link with the receiver.");
    case MHD_HTTP_UNSUPPORTED_MEDIA_TYPE:
        return QStringLiteral("ファイルは PUT か multipart/form-data の POST で送ってください。\n"
                              "Send files by PUT or by a POST of multipart/form-data.");
    case MHD_HTTP_BAD_REQUEST:
        return QStringLiteral("ファイル名がありません。URL の最後にファイル名を付けてください。\n"
                              "No file name: end the URL with the file's name.");
    default:
        return QStringLiteral("受け取る人のコンピューターでファイルを保存できませんでした。\n"
                              "The receiver's computer could not save the file.");
    }
}

// The line of a two-line reason in the sender's language.
QString reasonIn(const QString &reason, bool english)
{
    const QStringList lines = reason.split(u'\n');
    return english && lines.size() > 1 ? lines.at(1) : lines.first();
}

// The page a browser without scripts gets after sending the form: in the language its page was
// in, with a way back to the drop point.
QByteArray answerPage(const DropPointEntry &entry, bool english, const QString &heading, const QString &body)
{
    const QString back = english ? QStringLiteral("Send more files") : QStringLiteral("ほかのファイルも送る");
    return QStringLiteral("<!DOCTYPE html><html lang=\"%1\"><head><meta charset=\"utf-8\">"
                          "<meta name=\"viewport\" content=\"width=device-width\"><title>%2</title>"
                          "<link rel=\"stylesheet\" href=\"/u/%3/page.css\"></head><body><main>"
                          "<h1>%2</h1>%4<p><a href=\"/u/%3\">%5</a></p></main></body></html>\n")
        .arg(english ? QStringLiteral("en") : QStringLiteral("ja"), heading.toHtmlEscaped(), entry.code, body,
             back)
        .toUtf8();
}

QByteArrayView trimmed(const char *value)
{
    return value ? QByteArrayView(value).trimmed() : QByteArrayView();
}

// A structured-field integer (RFC 9651: at most 15 digits, here never negative).
std::optional<qint64> fieldInteger(const char *value)
{
    const QByteArrayView field = trimmed(value);
    if (field.isEmpty() || field.size() > 15)
        return std::nullopt;
    for (const char digit : field) {
        if (digit < '0' || digit > '9')
            return std::nullopt;
    }
    return field.toLongLong();
}

// A structured-field boolean: ?1 or ?0.
std::optional<bool> fieldBoolean(const char *value)
{
    const QByteArrayView field = trimmed(value);
    if (field == "?1")
        return true;
    if (field == "?0")
        return false;
    return std::nullopt;
}

bool sameFile(int directory, const QByteArray &name, int descriptor)
{
    struct stat named = {};
    struct stat open = {};
    return ::fstatat(directory, name.constData(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
           ::fstat(descriptor, &open) == 0 && named.st_dev == open.st_dev && named.st_ino == open.st_ino;
}

// Renames without replacing anything; where the file system has no RENAME_NOREPLACE, a link
// refuses an existing name just as well.
int renameNoReplace(int directory, const QByteArray &from, const QByteArray &to)
{
    if (::renameat2(directory, from.constData(), directory, to.constData(), RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP)
        return errno;
    if (::linkat(directory, from.constData(), directory, to.constData(), 0) != 0)
        return errno;
    ::unlinkat(directory, from.constData(), 0);
    return 0;
}

} // namespace

struct UploadReceiver::Upload : ConnectionState
{
    UploadReceiver *receiver = nullptr;
    DropPointEntry entry;
    QString address;
    int directory = -1;
    MHD_PostProcessor *post = nullptr;
    bool put = false;
    bool html = false;
    bool english = false; // the answer page's language, when html
    bool json = false;

    // A resumable upload's request: creation (POST) or append (PATCH).
    QString token;
    bool creation = false;
    bool complete = false; // Upload-Complete: ?1
    bool held = false;     // the table's resource is held by this request
    QString resource;      // the token of the resource it held, once: its waiters are woken at the end
    qint64 start = 0;      // the bytes the .part held when the request began
    qint64 length = -1;    // the whole file's, when told

    // The file being written.
    int descriptor = -1;
    QString baseName;
    QByteArray partName;
    int number = 0;
    quint64 partId = 0;
    quint64 device = 0;
    quint64 inode = 0;
    std::shared_ptr<Sha256> hash = std::make_shared<Sha256>();
    HashQueue::Stream hashing; // into hash, from the file's start
    qint64 written = 0;        // to the file
    QByteArray gathered;       // received, not yet written
    QString fieldFileName;

    qint64 claimed = 0;    // by the file being written
    qint64 announced = -1; // a PUT's Content-Length; -1 when not told
    QList<Saved> saved;
    unsigned int failure = 0; // an HTTP status once the upload failed
    QString failureReason;
    qint64 dropped = 0; // of the body, after the failure

    ~Upload() override
    {
        if (post)
            receiver->m_mhd.destroyPostProcessor(post);
        // The sender goes on after every byte it sent before the connection broke.
        if (descriptor >= 0 && held && receiver->flush(*this))
            receiver->suspend(*this);
        else if (descriptor >= 0)
            receiver->discardFile(*this);
        if (directory >= 0)
            ::close(directory);
        if (!resource.isEmpty())
            receiver->wake(resource);
    }
};

// A request that waits, suspended, for an older one on the same resource to end; the library calls
// again with it once woken.
struct UploadReceiver::Waited : ConnectionState
{
};

qint64 UploadReceiver::shippedFloor(qint64 capacityBytes)
{
    return qMax<qint64>(qint64(1) << 30, capacityBytes / 20);
}

UploadReceiver::UploadReceiver(const MicrohttpdLibrary &mhd, DropPointTable &table, MissThrottle &throttle,
                               FreeSpaceFloor floor, ShareNow now, Events events)
    : m_mhd(mhd), m_table(table), m_throttle(throttle),
      m_floor(floor ? std::move(floor) : FreeSpaceFloor(&UploadReceiver::shippedFloor)),
      m_now(std::move(now)), m_events(std::move(events)), m_hashes(hashThreads, hashedPerUpload, hashedTotal)
{
}

MHD_Result UploadReceiver::answer(MHD_Connection *connection, const QString &address, const char *url,
                                  const char *method, const char *uploadData, size_t *uploadDataSize,
                                  void **connectionState)
{
    auto *state = static_cast<ConnectionState *>(*connectionState);
    if (auto *upload = dynamic_cast<Upload *>(state))
        return proceed(connection, *upload, uploadData, uploadDataSize);
    // Woken: the head is looked at again, as on the first call.
    const bool waited = dynamic_cast<Waited *>(state) != nullptr;
    delete state;
    *connectionState = nullptr;
    return start(connection, address, url, method, connectionState, waited);
}

UploadReceiver::Taken UploadReceiver::take(MHD_Connection *connection, const QString &code,
                                           const QString &token, bool hold, bool waited,
                                           void **connectionState, DropPointTable::Resumable *taken)
{
    const QMutexLocker locker(&m_waitMutex);
    const auto known = m_table.resumable(code, token);
    if (!known)
        return Taken::Gone;
    if (!known->holder) {
        const auto held = hold ? m_table.hold(code, token, connection) : known;
        if (!held)
            return Taken::Busy;
        *taken = *held;
        return Taken::Taken;
    }
    if (waited || m_closing) {
        if (hold)
            return Taken::Busy;
        // Asked again meanwhile: the offset as last recorded, which a PATCH then corrects if need be.
        *taken = *known;
        return Taken::Taken;
    }
    // The holder cannot end meanwhile: its end wakes this resource's waiters, which waits for the
    // lock held here, so the connection shut down below is still the holder's.
    m_waiters[token].append(connection);
    m_mhd.suspendConnection(connection);
    *connectionState = static_cast<ConnectionState *>(new Waited);
    if (m_events.endRequest)
        m_events.endRequest(known->holder);
    return Taken::Waiting;
}

void UploadReceiver::wake(const QString &token)
{
    const QMutexLocker locker(&m_waitMutex);
    for (MHD_Connection *waiting : m_waiters.take(token))
        m_mhd.resumeConnection(waiting);
}

void UploadReceiver::wakeAll(bool closing)
{
    const QMutexLocker locker(&m_waitMutex);
    m_closing = closing;
    for (const QList<MHD_Connection *> &waiting : std::as_const(m_waiters)) {
        for (MHD_Connection *connection : waiting)
            m_mhd.resumeConnection(connection);
    }
    m_waiters.clear();
}

MHD_Result UploadReceiver::start(MHD_Connection *connection, const QString &address, const char *url,
                                 const char *method, void **connectionState, bool waited)
{
    // The library hands the URL percent-decoded: "/u/CODE" or "/u/CODE/NAME".
    const QByteArrayView path = QByteArrayView(url).sliced(3);
    const qsizetype slash = path.indexOf('/');
    const QString code = ShareCode::normalized(QString::fromLatin1(slash < 0 ? path : path.first(slash)));
    const auto entry = code.isEmpty() ? std::nullopt : m_table.find(code);
    if (!entry) {
        if (!code.isEmpty() && m_table.ended(code))
            return queue(connection, MHD_HTTP_GONE, {}, reasonText(MHD_HTTP_GONE).toUtf8());
        m_throttle.recordMiss(address);
        return queue(connection, MHD_HTTP_NOT_FOUND, {}, reasonText(MHD_HTTP_NOT_FOUND).toUtf8());
    }
    if (!entry->takesFrom(address))
        return queue(connection, MHD_HTTP_FORBIDDEN, {}, reasonText(MHD_HTTP_FORBIDDEN).toUtf8());
    if (slash >= 0 && path.sliced(slash + 1).startsWith("r/"))
        return resource(connection, *entry, address, QString::fromLatin1(path.sliced(slash + 3)), method,
                        connectionState, waited);

    // Whether the drop point takes resumable uploads, and their limits, asked before creating one.
    if (std::strcmp(method, MHD_HTTP_METHOD_OPTIONS) == 0 && slash < 0)
        return queue(connection, MHD_HTTP_NO_CONTENT, {}, {},
                     {{MHD_HTTP_HEADER_ALLOW, "GET, HEAD, PUT, POST, OPTIONS"},
                      {"Accept-Patch", QByteArray(partialUpload.data(), partialUpload.size())},
                      limitField(*entry, m_now())});
    const bool get =
        std::strcmp(method, MHD_HTTP_METHOD_GET) == 0 || std::strcmp(method, MHD_HTTP_METHOD_HEAD) == 0;
    const bool put = std::strcmp(method, MHD_HTTP_METHOD_PUT) == 0;
    const bool post = std::strcmp(method, MHD_HTTP_METHOD_POST) == 0;
    if (get) {
        // The page for those who open the link in a browser, and what it loads; nothing else.
        if (slash < 0) {
            const QByteArray page =
                UploadPage::html(*entry, m_now(),
                                 trimmed(m_mhd.lookupConnectionValue(connection, MHD_HEADER_KIND,
                                                                     MHD_HTTP_HEADER_ACCEPT_LANGUAGE)));
            return queue(connection, MHD_HTTP_OK, "text/html; charset=utf-8", page,
                         {{MHD_HTTP_HEADER_VARY, "Accept-Language"}});
        }
        if (const auto asset = UploadPage::asset(path.sliced(slash + 1)))
            return queue(connection, MHD_HTTP_OK, asset->type, asset->bytes);
        return queue(connection, MHD_HTTP_NOT_FOUND, {},
                     text("ここには何もありません。", "Nothing is served here."));
    }
    if (!put && !post)
        return queue(connection, MHD_HTTP_METHOD_NOT_ALLOWED, {},
                     text("GET、PUT、POST だけを受け付けます。", "Only GET, PUT and POST are taken."));
    const QString proposed = put && slash >= 0 ? QString::fromUtf8(path.sliced(slash + 1)) : QString();
    if (put && SafeFileName::baseName(proposed, {}).isEmpty())
        return queue(connection, MHD_HTTP_BAD_REQUEST, {}, reasonText(MHD_HTTP_BAD_REQUEST).toUtf8());

    qint64 announced = 0;
    bool announcedLength = false;
    if (const char *length =
            m_mhd.lookupConnectionValue(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH)) {
        bool ok = false;
        announced = QByteArray(length).toLongLong(&ok);
        announcedLength = ok && announced >= 0;
        if (!announcedLength)
            announced = 0;
    }
    if (announced > entry->sizeLimit - m_table.claimed(code))
        return queue(connection, MHD_HTTP_CONTENT_TOO_LARGE, {},
                     reasonText(MHD_HTTP_CONTENT_TOO_LARGE).toUtf8(), {limitField(*entry, m_now())});

    auto upload = std::make_unique<Upload>();
    upload->receiver = this;
    upload->entry = *entry;
    upload->address = address;
    upload->put = put;
    if (put && announcedLength)
        upload->announced = announced;
    if (const char *accept =
            m_mhd.lookupConnectionValue(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_ACCEPT)) {
        upload->html = post && QByteArrayView(accept).contains("text/html");
        upload->english = UploadPage::prefersEnglish(trimmed(
            m_mhd.lookupConnectionValue(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_ACCEPT_LANGUAGE)));
        upload->json = QByteArrayView(accept).contains("application/json");
    }
    upload->directory =
        ::open(QFile::encodeName(entry->folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (upload->directory < 0)
        return queue(connection, MHD_HTTP_INTERNAL_SERVER_ERROR, {},
                     reasonText(MHD_HTTP_INTERNAL_SERVER_ERROR).toUtf8());
    if (!roomFor(upload->directory, announced))
        return queue(connection, MHD_HTTP_INSUFFICIENT_STORAGE, {},
                     reasonText(MHD_HTTP_INSUFFICIENT_STORAGE).toUtf8());
    // Upload-Complete is what tells a resumable upload's creation from a form.
    if (post && m_mhd.lookupConnectionValue(connection, MHD_HEADER_KIND, "Upload-Complete"))
        return create(connection, std::move(upload), connectionState);
    if (post) {
        upload->post =
            m_mhd.createPostProcessor(connection, postBuffer, &UploadReceiver::postIterator, upload.get());
        if (!upload->post)
            return queue(connection, MHD_HTTP_UNSUPPORTED_MEDIA_TYPE, {},
                         reasonText(MHD_HTTP_UNSUPPORTED_MEDIA_TYPE).toUtf8());
    } else if (!beginFile(*upload, proposed)) {
        return queueFailure(connection, *upload);
    }
    *connectionState = static_cast<ConnectionState *>(upload.release());
    return MHD_YES;
}

MHD_Result UploadReceiver::proceed(MHD_Connection *connection, Upload &upload, const char *data, size_t *size)
{
    if (*size > 0) {
        const size_t given = *size;
        *size = 0;
        if (upload.failure != 0) {
            // The library takes an answer only before the body or after it: the rest is read and
            // dropped, up to a bound, after which the sender is cut off without one.
            upload.dropped += qint64(given);
            return upload.dropped > droppedLimit ? MHD_NO : MHD_YES;
        }
        const bool ok = upload.put || !upload.token.isEmpty()
                            ? write(upload, data, given)
                            : m_mhd.postProcess(upload.post, data, given) == MHD_YES && upload.failure == 0;
        if (!ok && upload.failure == 0)
            fail(upload, MHD_HTTP_BAD_REQUEST,
                 QStringLiteral("送られてきたフォームを読めませんでした。\nThe form could not be read."));
        return MHD_YES;
    }
    // The body is complete.
    if (!upload.token.isEmpty() && upload.failure == 0)
        return finishResumable(connection, upload);
    if (upload.failure == 0 && upload.descriptor >= 0)
        finishFile(upload);
    if (upload.failure != 0)
        return queueFailure(connection, upload);
    if (upload.saved.isEmpty())
        return queue(connection, MHD_HTTP_BAD_REQUEST, {},
                     text("ファイルが一つも送られてきませんでした。", "No file arrived."));
    return queueResult(connection, upload);
}

MHD_Result UploadReceiver::postIterator(void *cls, MHD_ValueKind, const char *, const char *filename,
                                        const char *, const char *, const char *data, uint64_t offset,
                                        size_t size)
{
    auto &upload = *static_cast<Upload *>(cls);
    UploadReceiver &self = *upload.receiver;
    if (!filename)
        return MHD_YES; // a text field
    const QString name = QString::fromUtf8(filename);
    const bool next =
        offset == 0 && (upload.descriptor < 0 || upload.written > 0 || name != upload.fieldFileName);
    if (next) {
        if (upload.descriptor >= 0 && !self.finishFile(upload))
            return MHD_NO;
        upload.fieldFileName = name;
        if (!self.beginFile(upload, name))
            return MHD_NO;
    }
    return size == 0 || self.write(upload, data, size) ? MHD_YES : MHD_NO;
}

namespace {

ResumableUpload recordOf(const QString &token, const DropPointEntry &entry, const QString &name,
                         const QString &address, const QByteArray &partName, quint64 device, quint64 inode,
                         qint64 length, qint64 offset)
{
    return {token,  entry.code, name,   address, entry.folder + u'/' + QFile::decodeName(partName),
            device, inode,      length, offset};
}

UploadReceiver::Fields offsetFields(qint64 offset, qint64 length, bool complete)
{
    UploadReceiver::Fields fields{{"Upload-Offset", QByteArray::number(offset)},
                                  {"Upload-Complete", complete ? "?1" : "?0"}};
    if (length >= 0)
        fields.append({"Upload-Length", QByteArray::number(length)});
    return fields;
}

QByteArray noSuchUpload()
{
    return text("この送信は見つかりません。最初から送り直してください。",
                "No such upload: send the file again from the start.");
}

} // namespace

MHD_Result UploadReceiver::resource(MHD_Connection *connection, const DropPointEntry &entry,
                                    const QString &address, const QString &token, const char *method,
                                    void **connectionState, bool waited)
{
    // A wrong token is a guess like a wrong code.
    const auto found = token.size() == tokenLength ? m_table.resumable(entry.code, token) : std::nullopt;
    if (!found) {
        // Woken, it was there a moment ago: completed or cancelled by the request it waited for.
        if (!waited)
            m_throttle.recordMiss(address);
        return queue(connection, MHD_HTTP_NOT_FOUND, {}, noSuchUpload());
    }
    const ResumableUpload &known = found->upload;
    if (known.address != address)
        return queue(connection, MHD_HTTP_FORBIDDEN, {},
                     text("この送信は別のアドレスから始められました。",
                          "This upload was started from another address."));
    const bool head = std::strcmp(method, MHD_HTTP_METHOD_HEAD) == 0;
    const bool cancel = std::strcmp(method, MHD_HTTP_METHOD_DELETE) == 0;
    if (!head && !cancel && std::strcmp(method, "PATCH") != 0)
        return queue(
            connection, MHD_HTTP_METHOD_NOT_ALLOWED, {},
            text("HEAD、PATCH、DELETE だけを受け付けます。", "Only HEAD, PATCH and DELETE are taken."),
            {{MHD_HTTP_HEADER_ALLOW, "HEAD, PATCH, DELETE"}});
    if (!head && !cancel &&
        !trimmed(m_mhd.lookupConnectionValue(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_TYPE))
             .startsWith(partialUpload))
        return queue(connection, MHD_HTTP_UNSUPPORTED_MEDIA_TYPE, {},
                     text("続きは Content-Type: application/partial-upload で送ってください。",
                          "Send the rest with Content-Type: application/partial-upload."));

    // The sender asks, appends or cancels only once it has given up on its earlier request, whose
    // connection may have broken unnoticed (a sleeping laptop, a dropped Wi-Fi): that request is
    // ended, and this one is answered from what it left.
    DropPointTable::Resumable taken;
    switch (take(connection, entry.code, token, !head, waited, connectionState, &taken)) {
    case Taken::Waiting: return MHD_YES;
    case Taken::Gone: return queue(connection, MHD_HTTP_NOT_FOUND, {}, noSuchUpload());
    case Taken::Busy:
        return queue(
            connection, MHD_HTTP_CONFLICT, {},
            text("この送信には別の要求が書き込み中です。少し待ってから受け取り済みのバイト数を尋ね直して"
                 "ください。",
                 "Another request is writing to this upload: wait, then ask for the offset again."),
            offsetFields(known.offset, known.length, false));
    case Taken::Taken: break;
    }
    const ResumableUpload &now = taken.upload;
    if (head)
        return queue(connection, MHD_HTTP_NO_CONTENT, {}, {},
                     offsetFields(now.offset, now.length, false) + Fields{limitField(entry, m_now())});
    if (cancel) {
        m_table.removeResumable(token);
        const QByteArray path = QFile::encodeName(now.partPath);
        struct stat status = {};
        if (::lstat(path.constData(), &status) == 0 && quint64(status.st_dev) == now.device &&
            quint64(status.st_ino) == now.inode)
            ::unlink(path.constData());
        m_table.removePart(entry.code, taken.partId);
        m_table.unclaim(entry.code, now.offset);
        if (m_events.partGone)
            m_events.partGone(now.partPath);
        if (m_events.resumableGone)
            m_events.resumableGone(token);
        wake(token);
        return queue(connection, MHD_HTTP_NO_CONTENT, {}, {});
    }

    auto upload = std::make_unique<Upload>();
    upload->receiver = this;
    upload->entry = entry;
    upload->address = address;
    // From here its end releases the resource and wakes whoever waits for it.
    upload->resource = token;
    if (const char *accept = m_mhd.lookupConnectionValue(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_ACCEPT))
        upload->json = QByteArrayView(accept).contains("application/json");
    upload->directory =
        ::open(QFile::encodeName(entry.folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (upload->directory < 0) {
        m_table.release(token, now.offset, taken.hash);
        return queue(connection, MHD_HTTP_INTERNAL_SERVER_ERROR, {},
                     reasonText(MHD_HTTP_INTERNAL_SERVER_ERROR).toUtf8());
    }
    return append(connection, std::move(upload), taken, connectionState);
}

MHD_Result UploadReceiver::create(MHD_Connection *connection, std::unique_ptr<Upload> upload,
                                  void **connectionState)
{
    const auto complete =
        fieldBoolean(m_mhd.lookupConnectionValue(connection, MHD_HEADER_KIND, "Upload-Complete"));
    const char *lengthField = m_mhd.lookupConnectionValue(connection, MHD_HEADER_KIND, "Upload-Length");
    const auto length = lengthField ? fieldInteger(lengthField) : std::optional<qint64>(-1);
    if (!complete || !length)
        return queue(connection, MHD_HTTP_BAD_REQUEST, {},
                     text("Upload-Complete か Upload-Length を読めません。",
                          "Upload-Complete or Upload-Length cannot be read."));
    const char *disposition =
        m_mhd.lookupConnectionValue(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_DISPOSITION);
    const QString proposed = disposition ? HttpFields::parseContentDisposition(disposition) : QString();
    if (SafeFileName::baseName(proposed, {}).isEmpty())
        return queue(connection, MHD_HTTP_BAD_REQUEST, {},
                     text("ファイル名がありません。Content-Disposition の filename* で名前を付けてください。",
                          "No file name: name the file in Content-Disposition's filename*."));
    const DropPointEntry &entry = upload->entry;
    if (*length > entry.sizeLimit - m_table.claimed(entry.code))
        return queue(connection, MHD_HTTP_CONTENT_TOO_LARGE, {},
                     reasonText(MHD_HTTP_CONTENT_TOO_LARGE).toUtf8(), {limitField(entry, m_now())});
    if (!roomFor(upload->directory, qMax<qint64>(0, *length)))
        return queue(connection, MHD_HTTP_INSUFFICIENT_STORAGE, {},
                     reasonText(MHD_HTTP_INSUFFICIENT_STORAGE).toUtf8());
    do {
        upload->token = ShareCode::generate(tokenLength);
    } while (m_table.resumable(entry.code, upload->token));
    upload->creation = true;
    upload->complete = *complete;
    upload->length = *length;
    if (!beginFile(*upload, proposed))
        return queueFailure(connection, *upload);
    DropPointTable::Resumable resumable;
    resumable.upload = recordOf(upload->token, entry, upload->baseName, upload->address, upload->partName,
                                upload->device, upload->inode, upload->length, 0);
    resumable.partId = upload->partId;
    resumable.hash = upload->hash;
    resumable.holder = connection;
    if (m_table.addResumable(resumable) == 0) {
        fail(*upload, MHD_HTTP_GONE, {});
        return queueFailure(connection, *upload);
    }
    upload->held = true;
    upload->resource = upload->token;
    if (m_events.resumableSaved)
        m_events.resumableSaved(resumable.upload);
    *connectionState = static_cast<ConnectionState *>(upload.release());
    return MHD_YES;
}

MHD_Result UploadReceiver::append(MHD_Connection *connection, std::unique_ptr<Upload> upload,
                                  const DropPointTable::Resumable &held, void **connectionState)
{
    const ResumableUpload &known = held.upload;
    const QString &code = upload->entry.code;
    upload->token = known.token;
    upload->baseName = known.name;
    upload->partName = QFile::encodeName(QFileInfo(known.partPath).fileName());
    upload->partId = held.partId;
    upload->device = known.device;
    upload->inode = known.inode;
    upload->start = known.offset;
    upload->written = known.offset;
    upload->length = known.length;
    upload->held = true;
    const auto refuse = [&](unsigned int status, const QByteArray &body) {
        m_table.release(known.token, known.offset, held.hash);
        upload->held = false;
        Fields fields = offsetFields(known.offset, known.length, false);
        if (status == MHD_HTTP_CONTENT_TOO_LARGE)
            fields.append(limitField(upload->entry, m_now()));
        return queue(connection, status, {}, body, fields);
    };

    const auto offset =
        fieldInteger(m_mhd.lookupConnectionValue(connection, MHD_HEADER_KIND, "Upload-Offset"));
    const auto complete =
        fieldBoolean(m_mhd.lookupConnectionValue(connection, MHD_HEADER_KIND, "Upload-Complete"));
    if (!offset || !complete)
        return refuse(MHD_HTTP_BAD_REQUEST, text("Upload-Offset か Upload-Complete を読めません。",
                                                 "Upload-Offset or Upload-Complete cannot be read."));
    if (*offset != known.offset)
        return refuse(
            MHD_HTTP_CONFLICT,
            text("Upload-Offset が受け取り済みのバイト数と違います。Upload-Offset から続けてください。",
                 "Upload-Offset differs from the bytes received: go on from the Upload-Offset "
                 "given here."));
    if (const char *lengthField = m_mhd.lookupConnectionValue(connection, MHD_HEADER_KIND, "Upload-Length")) {
        const auto length = fieldInteger(lengthField);
        if (!length || *length < known.offset || (known.length >= 0 && *length != known.length))
            return refuse(MHD_HTTP_BAD_REQUEST, text("Upload-Length が前と違います。",
                                                     "Upload-Length differs from the one told before."));
        if (known.length < 0 && *length - known.offset > upload->entry.sizeLimit - m_table.claimed(code))
            return refuse(MHD_HTTP_CONTENT_TOO_LARGE, reasonText(MHD_HTTP_CONTENT_TOO_LARGE).toUtf8());
        upload->length = *length;
    }
    const auto announced = fieldInteger(
        m_mhd.lookupConnectionValue(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH));
    if (announced && upload->length >= 0 && known.offset + *announced > upload->length)
        return refuse(MHD_HTTP_BAD_REQUEST, text("Upload-Length より多く送ろうとしています。",
                                                 "This would send more than Upload-Length."));
    if (announced && *announced > upload->entry.sizeLimit - m_table.claimed(code))
        return refuse(MHD_HTTP_CONTENT_TOO_LARGE, reasonText(MHD_HTTP_CONTENT_TOO_LARGE).toUtf8());
    if (!roomFor(upload->directory, announced.value_or(0)))
        return refuse(MHD_HTTP_INSUFFICIENT_STORAGE, reasonText(MHD_HTTP_INSUFFICIENT_STORAGE).toUtf8());

    // Only the file this upload created, and only what it holds: bytes past the recorded offset
    // were never acknowledged to the sender.
    const int descriptor =
        ::openat(upload->directory, upload->partName.constData(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
    struct stat status = {};
    if (descriptor < 0 || ::fstat(descriptor, &status) != 0 || quint64(status.st_dev) != known.device ||
        quint64(status.st_ino) != known.inode || status.st_size < known.offset ||
        ::ftruncate(descriptor, known.offset) != 0 || ::lseek(descriptor, known.offset, SEEK_SET) < 0) {
        if (descriptor >= 0)
            ::close(descriptor);
        m_table.removePart(code, held.partId);
        forget(*upload);
        return queue(connection, MHD_HTTP_GONE, {},
                     text("受け取る人のコンピューターで途中までのファイルが見つかりません。最初から送り直して"
                          "ください。",
                          "The part received so far is gone from the receiver's computer: send the file "
                          "again from the start."));
    }
    upload->descriptor = descriptor;
    if (held.hash) {
        upload->hash = held.hash;
    } else {
        // Resumed after a restart: the digest covers the bytes already held too.
        const std::atomic_bool never{false};
        const auto hashed = upload->hash->addFile(descriptor, 0, known.offset, never);
        if (hashed.outcome != Sha256::FileOutcome::Done || hashed.bytes != known.offset) {
            fail(*upload, MHD_HTTP_INTERNAL_SERVER_ERROR, SystemError::text(hashed.error));
            return queueFailure(connection, *upload);
        }
    }
    upload->hashing = m_hashes.open(upload->hash);
    upload->complete = *complete;
    m_table.describeUpload(
        {upload->partId, code, upload->baseName, upload->address, known.offset, upload->length});
    *connectionState = static_cast<ConnectionState *>(upload.release());
    return MHD_YES;
}

MHD_Result UploadReceiver::finishResumable(MHD_Connection *connection, Upload &upload)
{
    if (!flush(upload))
        return queueFailure(connection, upload);
    if (upload.complete && upload.length >= 0 && upload.written != upload.length) {
        suspend(upload);
        return queue(connection, MHD_HTTP_BAD_REQUEST, {},
                     text("Upload-Complete: ?1 ですが、Upload-Length に足りません。",
                          "Upload-Complete: ?1 came before Upload-Length bytes did."),
                     offsetFields(upload.written, upload.length, false));
    }
    if (upload.complete) {
        if (!finishFile(upload))
            return queueFailure(connection, upload);
        const QString token = upload.token;
        upload.token.clear();
        upload.held = false;
        m_table.removeResumable(token);
        if (m_events.resumableGone)
            m_events.resumableGone(token);
        return queueResult(connection, upload, offsetFields(upload.written, upload.written, true));
    }
    suspend(upload);
    const Fields fields = offsetFields(upload.written, upload.length, false);
    if (!upload.creation)
        return queue(connection, MHD_HTTP_NO_CONTENT, {}, {}, fields);
    const QByteArray location = "/u/" + upload.entry.code.toLatin1() + "/r/" + upload.token.toLatin1();
    return queue(connection, MHD_HTTP_CREATED, {},
                 text("続きは PATCH で送ってください。", "Send the rest by PATCH to the Location."),
                 Fields{{MHD_HTTP_HEADER_LOCATION, location}, limitField(upload.entry, m_now())} + fields);
}

void UploadReceiver::suspend(Upload &upload)
{
    if (!upload.held)
        return;
    upload.held = false;
    // The next request on it goes on from this state of the hash.
    settledHash(upload);
    // Synced before the offset is recorded, so that a recorded offset is one the disk holds.
    const bool synced = upload.descriptor < 0 || ::fsync(upload.descriptor) == 0;
    if (upload.descriptor >= 0)
        ::close(upload.descriptor);
    upload.descriptor = -1;
    const ResumableUpload record =
        recordOf(upload.token, upload.entry, upload.baseName, upload.address, upload.partName, upload.device,
                 upload.inode, upload.length, upload.written);
    // Without the sync the digest is computed again from what the disk holds.
    if (m_table.release(upload.token, upload.written, synced ? upload.hash : nullptr) &&
        m_events.resumableSaved)
        m_events.resumableSaved(record);
}

void UploadReceiver::forget(Upload &upload)
{
    const QString token = std::exchange(upload.token, QString());
    upload.held = false;
    if (!m_table.removeResumable(token))
        return;
    // The bytes earlier requests claimed; discardFile() gives back this request's.
    m_table.unclaim(upload.entry.code, upload.start);
    if (m_events.resumableGone)
        m_events.resumableGone(token);
}

bool UploadReceiver::beginFile(Upload &upload, const QString &proposed)
{
    upload.baseName = SafeFileName::baseName(proposed);
    upload.written = 0;
    upload.claimed = 0;
    // A new one: the previous file's may still be with a hashing thread after a failure.
    upload.hash = std::make_shared<Sha256>();
    upload.hashing = m_hashes.open(upload.hash);
    // A name taken by anything, a link included, is skipped; so is a .part another upload holds.
    for (int number = 0; number <= SafeFileName::maxNumber; ++number) {
        const QByteArray name = QFile::encodeName(SafeFileName::numbered(upload.baseName, number));
        struct stat status = {};
        if (::fstatat(upload.directory, name.constData(), &status, AT_SYMLINK_NOFOLLOW) == 0)
            continue;
        const QByteArray part = name + ".part";
        const int descriptor = ::openat(upload.directory, part.constData(),
                                        O_CREAT | O_EXCL | O_NOFOLLOW | O_WRONLY | O_CLOEXEC, 0600);
        if (descriptor < 0 && errno == EEXIST)
            continue;
        if (descriptor < 0) {
            fail(upload,
                 errno == ENOSPC || errno == EDQUOT ? MHD_HTTP_INSUFFICIENT_STORAGE
                                                    : MHD_HTTP_INTERNAL_SERVER_ERROR,
                 SystemError::text(errno));
            return false;
        }
        upload.descriptor = descriptor;
        upload.partName = part;
        upload.number = number;
        struct stat created = {};
        ::fstat(descriptor, &created);
        const QString partPath = upload.entry.folder + u'/' + QFile::decodeName(part);
        upload.device = quint64(created.st_dev);
        upload.inode = quint64(created.st_ino);
        upload.partId = m_table.addPart(upload.entry.code, {0, partPath, upload.device, upload.inode});
        // A resumable upload's .part is kept as the resource, and outlives a restart.
        if (upload.token.isEmpty() && m_events.partCreated)
            m_events.partCreated(upload.entry.code, partPath, quint64(created.st_dev),
                                 quint64(created.st_ino));
        // A form's files come one after the other in one body: only a PUT tells the file's size.
        m_table.describeUpload({upload.partId, upload.entry.code, QFile::decodeName(name), upload.address, 0,
                                upload.token.isEmpty() ? upload.announced : upload.length});
        return true;
    }
    fail(upload, MHD_HTTP_INTERNAL_SERVER_ERROR,
         QStringLiteral("「%1」の番号付きの名前が尽きました。").arg(upload.baseName));
    return false;
}

bool UploadReceiver::write(Upload &upload, const char *data, size_t size)
{
    const QString &code = upload.entry.code;
    // Fails too once the drop point has ended.
    if (!m_table.claim(code, qint64(size))) {
        fail(upload, m_table.find(code) ? MHD_HTTP_CONTENT_TOO_LARGE : MHD_HTTP_GONE, {});
        return false;
    }
    upload.claimed += qint64(size);
    if (upload.length >= 0 && upload.written + upload.gathered.size() + qint64(size) > upload.length) {
        fail(upload, MHD_HTTP_BAD_REQUEST,
             QStringLiteral("Upload-Length より多く送られてきました。\nMore bytes arrived than Upload-Length "
                            "told."));
        return false;
    }
    if (!roomFor(upload.descriptor, upload.gathered.size() + qint64(size))) {
        fail(upload, MHD_HTTP_INSUFFICIENT_STORAGE, {});
        return false;
    }
    // Received is what the transfers window shows; the bytes reach the file at the next flush.
    m_table.wrote(upload.partId, qint64(size));
    QByteArrayView bytes(data, qsizetype(size));
    while (!bytes.isEmpty()) {
        if (upload.gathered.isEmpty())
            upload.gathered = m_hashes.buffer(gatherSize);
        const qsizetype taken = qMin(bytes.size(), gatherSize - upload.gathered.size());
        upload.gathered.append(bytes.first(taken));
        bytes = bytes.sliced(taken);
        if (upload.gathered.size() == gatherSize && !flush(upload))
            return false;
    }
    return true;
}

bool UploadReceiver::flush(Upload &upload)
{
    const QByteArray &gathered = upload.gathered;
    if (gathered.isEmpty() || upload.descriptor < 0)
        return true;
    qsizetype done = 0;
    while (done < gathered.size()) {
        const ssize_t wrote =
            ::write(upload.descriptor, gathered.constData() + done, size_t(gathered.size() - done));
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote <= 0) {
            const int error = wrote < 0 ? errno : ENOSPC;
            fail(upload,
                 error == ENOSPC || error == EDQUOT ? MHD_HTTP_INSUFFICIENT_STORAGE
                                                    : MHD_HTTP_INTERNAL_SERVER_ERROR,
                 SystemError::text(error));
            return false;
        }
        done += qsizetype(wrote);
    }
    upload.written += gathered.size();
    upload.hashing.add(std::exchange(upload.gathered, QByteArray()));
    return true;
}

bool UploadReceiver::finishFile(Upload &upload)
{
    if (!flush(upload))
        return false;
    if (::fsync(upload.descriptor) != 0) {
        const int error = errno;
        fail(upload,
             error == ENOSPC || error == EDQUOT ? MHD_HTTP_INSUFFICIENT_STORAGE
                                                : MHD_HTTP_INTERNAL_SERVER_ERROR,
             SystemError::text(error));
        return false;
    }
    // Ended while the last bytes were on their way: the registry may have removed the .part.
    if (!m_table.find(upload.entry.code) || !sameFile(upload.directory, upload.partName, upload.descriptor)) {
        fail(upload, MHD_HTTP_GONE, {});
        return false;
    }
    for (int number = upload.number; number <= SafeFileName::maxNumber; ++number) {
        const QString name = SafeFileName::numbered(upload.baseName, number);
        const int error = renameNoReplace(upload.directory, upload.partName, QFile::encodeName(name));
        if (error == EEXIST)
            continue;
        if (error != 0) {
            fail(upload, MHD_HTTP_INTERNAL_SERVER_ERROR, SystemError::text(error));
            return false;
        }
        ::fsync(upload.directory);
        ::close(upload.descriptor);
        upload.descriptor = -1;
        m_table.removePart(upload.entry.code, upload.partId);
        if (m_events.partGone)
            m_events.partGone(upload.entry.folder + u'/' + QFile::decodeName(upload.partName));
        const QByteArray sha256 = settledHash(upload)->result();
        upload.saved.append({name, upload.written, sha256});
        if (m_events.received)
            m_events.received({upload.entry.code, name, upload.entry.folder + u'/' + name, upload.written,
                               sha256, upload.address, m_now()});
        return true;
    }
    fail(upload, MHD_HTTP_INTERNAL_SERVER_ERROR,
         QStringLiteral("「%1」の番号付きの名前が尽きました。").arg(upload.baseName));
    return false;
}

void UploadReceiver::discardFile(Upload &upload)
{
    if (upload.descriptor < 0)
        return;
    // Only the file this upload created: whatever took its name since is left alone.
    if (sameFile(upload.directory, upload.partName, upload.descriptor))
        ::unlinkat(upload.directory, upload.partName.constData(), 0);
    ::close(upload.descriptor);
    upload.descriptor = -1;
    m_table.removePart(upload.entry.code, upload.partId);
    m_table.unclaim(upload.entry.code, upload.claimed);
    if (m_events.partGone)
        m_events.partGone(upload.entry.folder + u'/' + QFile::decodeName(upload.partName));
    upload.claimed = 0;
    upload.gathered.clear();
}

const std::shared_ptr<Sha256> &UploadReceiver::settledHash(Upload &upload)
{
    return upload.hashing.isOpen() ? upload.hashing.settled() : upload.hash;
}

void UploadReceiver::fail(Upload &upload, unsigned int status, const QString &reason)
{
    upload.failure = status;
    upload.failureReason = reason;
    if (!upload.token.isEmpty())
        forget(upload);
    const bool told = upload.descriptor >= 0 &&
                      (status == MHD_HTTP_INSUFFICIENT_STORAGE || status == MHD_HTTP_INTERNAL_SERVER_ERROR);
    discardFile(upload);
    // The receiver hears of what went wrong on this side; a closed drop point or a sender over the
    // limit is the sender's to hear.
    if (told && m_events.failed) {
        const QString why = reason.isEmpty() ? reasonText(status).section(u'\n', 0, 0)
                                             : reasonText(status).section(u'\n', 0, 0) +
                                                   QStringLiteral("（") + reason + QStringLiteral("）");
        m_events.failed(upload.entry.code, upload.baseName, why);
    }
}

bool UploadReceiver::roomFor(int descriptor, qint64 bytes) const
{
    struct statvfs status = {};
    if (::fstatvfs(descriptor, &status) != 0)
        return true; // the write itself will tell
    const qint64 available = qint64(status.f_bavail) * qint64(status.f_frsize);
    const qint64 capacity = qint64(status.f_blocks) * qint64(status.f_frsize);
    return available - bytes >= m_floor(capacity);
}

MHD_Result UploadReceiver::queue(MHD_Connection *connection, unsigned int status, const QByteArray &type,
                                 const QByteArray &body, const Fields &fields)
{
    QByteArray copy = body;
    MHD_Response *response =
        m_mhd.createResponseFromBuffer(size_t(copy.size()), copy.data(), MHD_RESPMEM_MUST_COPY);
    if (!response)
        return MHD_NO;
    m_mhd.addResponseHeader(response, MHD_HTTP_HEADER_CONTENT_TYPE,
                            type.isEmpty() ? "text/plain; charset=utf-8" : type.constData());
    m_mhd.addResponseHeader(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
    for (const auto &[name, value] : HttpFields::protectiveHeaders)
        m_mhd.addResponseHeader(response, name, value);
    for (const auto &[name, value] : fields)
        m_mhd.addResponseHeader(response, name, value.constData());
    const MHD_Result queued = m_mhd.queueResponse(connection, status, response);
    m_mhd.destroyResponse(response);
    return queued;
}

MHD_Result UploadReceiver::queueFailure(MHD_Connection *connection, const Upload &upload)
{
    if (upload.html) {
        QString body = QStringLiteral("<p>%1</p>").arg(reasonIn(reasonText(upload.failure), upload.english));
        if (!upload.failureReason.isEmpty())
            body += QStringLiteral("<p>%1</p>").arg(upload.failureReason.toHtmlEscaped());
        return queue(
            connection, upload.failure, "text/html; charset=utf-8",
            answerPage(upload.entry, upload.english,
                       upload.english ? QStringLiteral("Not sent") : QStringLiteral("送れませんでした"),
                       body),
            {{MHD_HTTP_HEADER_VARY, "Accept-Language"}});
    }
    QByteArray body = reasonText(upload.failure).toUtf8() + '\n';
    if (!upload.failureReason.isEmpty())
        body += upload.failureReason.toUtf8() + '\n';
    Fields fields;
    if (upload.failure == MHD_HTTP_CONTENT_TOO_LARGE)
        fields.append(limitField(upload.entry, m_now()));
    return queue(connection, upload.failure, {}, body, fields);
}

MHD_Result UploadReceiver::queueResult(MHD_Connection *connection, const Upload &upload, const Fields &fields)
{
    if (upload.json && upload.saved.size() == 1) {
        const Saved &saved = upload.saved.first();
        const QJsonObject result{{QStringLiteral("name"), saved.name},
                                 {QStringLiteral("size"), saved.size},
                                 {QStringLiteral("sha256"), QString::fromLatin1(saved.sha256.toHex())}};
        return queue(connection, MHD_HTTP_CREATED, "application/json",
                     QJsonDocument(result).toJson(QJsonDocument::Compact) + '\n', fields);
    }
    if (upload.html) {
        const bool english = upload.english;
        QString list = QStringLiteral("<ul>");
        for (const Saved &saved : upload.saved)
            list += QStringLiteral("<li>%1 — %2 %3 — SHA-256 <code>%4</code></li>")
                        .arg(saved.name.toHtmlEscaped())
                        .arg(saved.size)
                        .arg(english ? QStringLiteral("bytes") : QStringLiteral("バイト"),
                             QString::fromLatin1(saved.sha256.toHex()));
        list += QStringLiteral("</ul>");
        const QString receiver = upload.entry.receiverName;
        const QString heading = english ? QStringLiteral("Sent to %1").arg(receiver)
                                        : QStringLiteral("%1 に送りました").arg(receiver);
        Fields answerFields = fields;
        answerFields.append(std::pair<const char *, QByteArray>(MHD_HTTP_HEADER_VARY, "Accept-Language"));
        return queue(connection, MHD_HTTP_CREATED, "text/html; charset=utf-8",
                     answerPage(upload.entry, english, heading, list), answerFields);
    }
    QByteArray body;
    for (const Saved &saved : upload.saved)
        body += "saved " + saved.name.toUtf8() + '\t' + QByteArray::number(saved.size) + " bytes\tsha256 " +
                saved.sha256.toHex() + '\n';
    return queue(connection, MHD_HTTP_CREATED, {}, body, fields);
}
