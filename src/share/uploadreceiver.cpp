#include "uploadreceiver.h"

#include "connectionstate.h"
#include "droppointtable.h"
#include "httpfields.h"
#include "microhttpdlibrary.h"
#include "missthrottle.h"
#include "safefilename.h"
#include "sha256.h"
#include "sharecode.h"

#include <QFile>
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

    // The file being written.
    int descriptor = -1;
    QString baseName;
    QByteArray partName;
    int number = 0;
    quint64 partId = 0;
    Sha256 hash;
    qint64 written = 0;
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
        if (descriptor >= 0)
            receiver->discardFile(*this);
        if (directory >= 0)
            ::close(directory);
    }
};

qint64 UploadReceiver::shippedFloor(qint64 capacityBytes)
{
    return qMax<qint64>(qint64(1) << 30, capacityBytes / 20);
}

UploadReceiver::UploadReceiver(const MicrohttpdLibrary &mhd, DropPointTable &table, MissThrottle &throttle,
                               FreeSpaceFloor floor, ShareNow now, Events events)
    : m_mhd(mhd), m_table(table), m_throttle(throttle),
      m_floor(floor ? std::move(floor) : FreeSpaceFloor(&UploadReceiver::shippedFloor)),
      m_now(std::move(now)), m_events(std::move(events))
{
}

MHD_Result UploadReceiver::answer(MHD_Connection *connection, const QString &address, const char *url,
                                  const char *method, const char *uploadData, size_t *uploadDataSize,
                                  void **connectionState)
{
    if (auto *upload = dynamic_cast<Upload *>(static_cast<ConnectionState *>(*connectionState)))
        return proceed(connection, *upload, uploadData, uploadDataSize);
    return start(connection, address, url, method, connectionState);
}

MHD_Result UploadReceiver::start(MHD_Connection *connection, const QString &address, const char *url,
                                 const char *method, void **connectionState)
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

    const bool get =
        std::strcmp(method, MHD_HTTP_METHOD_GET) == 0 || std::strcmp(method, MHD_HTTP_METHOD_HEAD) == 0;
    const bool put = std::strcmp(method, MHD_HTTP_METHOD_PUT) == 0;
    const bool post = std::strcmp(method, MHD_HTTP_METHOD_POST) == 0;
    if (get) {
        // A page with a form for those who open the link in a browser.
        const QString name = entry->receiverName.toHtmlEscaped();
        const QByteArray page =
            QStringLiteral("<!DOCTYPE html><html lang=\"ja\"><head><meta charset=\"utf-8\"><title>%1 "
                           "へファイルを送る</title></head><body><h1>%1 へファイルを送る</h1>"
                           "<form method=\"post\" enctype=\"multipart/form-data\">"
                           "<input type=\"file\" name=\"file\" multiple> <button>送る / Send</button>"
                           "</form></body></html>\n")
                .arg(name)
                .toUtf8();
        return queue(connection, MHD_HTTP_OK, "text/html; charset=utf-8", page);
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
                     reasonText(MHD_HTTP_CONTENT_TOO_LARGE).toUtf8());

    auto upload = std::make_unique<Upload>();
    upload->receiver = this;
    upload->entry = *entry;
    upload->address = address;
    upload->put = put;
    if (put && announcedLength)
        upload->announced = announced;
    if (const char *accept = m_mhd.lookupConnectionValue(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_ACCEPT))
        upload->html = post && QByteArrayView(accept).contains("text/html");
    upload->directory =
        ::open(QFile::encodeName(entry->folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (upload->directory < 0)
        return queue(connection, MHD_HTTP_INTERNAL_SERVER_ERROR, {},
                     reasonText(MHD_HTTP_INTERNAL_SERVER_ERROR).toUtf8());
    if (!roomFor(upload->directory, announced))
        return queue(connection, MHD_HTTP_INSUFFICIENT_STORAGE, {},
                     reasonText(MHD_HTTP_INSUFFICIENT_STORAGE).toUtf8());
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
        const bool ok = upload.put
                            ? write(upload, data, given)
                            : m_mhd.postProcess(upload.post, data, given) == MHD_YES && upload.failure == 0;
        if (!ok && upload.failure == 0)
            fail(upload, MHD_HTTP_BAD_REQUEST,
                 QStringLiteral("送られてきたフォームを読めませんでした。\nThe form could not be read."));
        return MHD_YES;
    }
    // The body is complete.
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

bool UploadReceiver::beginFile(Upload &upload, const QString &proposed)
{
    upload.baseName = SafeFileName::baseName(proposed);
    upload.written = 0;
    upload.claimed = 0;
    upload.hash.reset();
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
                 QString::fromLocal8Bit(std::strerror(errno)));
            return false;
        }
        upload.descriptor = descriptor;
        upload.partName = part;
        upload.number = number;
        struct stat created = {};
        ::fstat(descriptor, &created);
        const QString partPath = upload.entry.folder + u'/' + QFile::decodeName(part);
        upload.partId = m_table.addPart(upload.entry.code,
                                        {0, partPath, quint64(created.st_dev), quint64(created.st_ino)});
        if (m_events.partCreated)
            m_events.partCreated(upload.entry.code, partPath, quint64(created.st_dev),
                                 quint64(created.st_ino));
        // A form's files come one after the other in one body: only a PUT tells the file's size.
        m_table.describeUpload(
            {upload.partId, upload.entry.code, QFile::decodeName(name), upload.address, 0, upload.announced});
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
    if (!roomFor(upload.descriptor, qint64(size))) {
        fail(upload, MHD_HTTP_INSUFFICIENT_STORAGE, {});
        return false;
    }
    size_t done = 0;
    while (done < size) {
        const ssize_t wrote = ::write(upload.descriptor, data + done, size - done);
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote <= 0) {
            const int error = wrote < 0 ? errno : ENOSPC;
            fail(upload,
                 error == ENOSPC || error == EDQUOT ? MHD_HTTP_INSUFFICIENT_STORAGE
                                                    : MHD_HTTP_INTERNAL_SERVER_ERROR,
                 QString::fromLocal8Bit(std::strerror(error)));
            return false;
        }
        done += size_t(wrote);
    }
    upload.hash.add(QByteArrayView(data, qsizetype(size)));
    upload.written += qint64(size);
    m_table.wrote(upload.partId, qint64(size));
    return true;
}

bool UploadReceiver::finishFile(Upload &upload)
{
    if (::fsync(upload.descriptor) != 0) {
        const int error = errno;
        fail(upload,
             error == ENOSPC || error == EDQUOT ? MHD_HTTP_INSUFFICIENT_STORAGE
                                                : MHD_HTTP_INTERNAL_SERVER_ERROR,
             QString::fromLocal8Bit(std::strerror(error)));
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
            fail(upload, MHD_HTTP_INTERNAL_SERVER_ERROR, QString::fromLocal8Bit(std::strerror(error)));
            return false;
        }
        ::fsync(upload.directory);
        ::close(upload.descriptor);
        upload.descriptor = -1;
        m_table.removePart(upload.entry.code, upload.partId);
        if (m_events.partGone)
            m_events.partGone(upload.entry.folder + u'/' + QFile::decodeName(upload.partName));
        const QByteArray sha256 = upload.hash.result();
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
}

void UploadReceiver::fail(Upload &upload, unsigned int status, const QString &reason)
{
    upload.failure = status;
    upload.failureReason = reason;
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
                                 const QByteArray &body)
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
    const MHD_Result queued = m_mhd.queueResponse(connection, status, response);
    m_mhd.destroyResponse(response);
    return queued;
}

MHD_Result UploadReceiver::queueFailure(MHD_Connection *connection, const Upload &upload)
{
    QByteArray body = reasonText(upload.failure).toUtf8() + '\n';
    if (!upload.failureReason.isEmpty())
        body += upload.failureReason.toUtf8() + '\n';
    return queue(connection, upload.failure, {}, body);
}

MHD_Result UploadReceiver::queueResult(MHD_Connection *connection, const Upload &upload)
{
    if (upload.html) {
        QString page =
            QStringLiteral("<!DOCTYPE html><html lang=\"ja\"><head><meta charset=\"utf-8\">"
                           "<title>送りました</title></head><body><h1>%1 に送りました / Sent</h1><ul>")
                .arg(upload.entry.receiverName.toHtmlEscaped());
        for (const Saved &saved : upload.saved)
            page += QStringLiteral("<li>%1 — %2 bytes — SHA-256 <code>%3</code></li>")
                        .arg(saved.name.toHtmlEscaped())
                        .arg(saved.size)
                        .arg(QString::fromLatin1(saved.sha256.toHex()));
        page += QStringLiteral("</ul></body></html>\n");
        return queue(connection, MHD_HTTP_CREATED, "text/html; charset=utf-8", page.toUtf8());
    }
    QByteArray body;
    for (const Saved &saved : upload.saved)
        body += "saved " + saved.name.toUtf8() + '\t' + QByteArray::number(saved.size) + " bytes\tsha256 " +
                saved.sha256.toHex() + '\n';
    return queue(connection, MHD_HTTP_CREATED, {}, body);
}
