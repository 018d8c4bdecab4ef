#include "transfers.h"

#include "base/ownedthread.h"
#include "base/systemerror.h"
#include "httpfields.h"
#include "safefilename.h"
#include "sha256.h"
#include "sharelinks.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QStorageInfo>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <utility>

namespace {

// What went wrong on the network, in the program's words rather than the library's.
QString networkText(QNetworkReply::NetworkError error)
{
    using E = QNetworkReply::NetworkError;
    switch (error) {
    case E::ConnectionRefusedError: return QStringLiteral("送信側が接続を受け付けません");
    case E::RemoteHostClosedError: return QStringLiteral("送信側が接続を閉じました");
    case E::HostNotFoundError: return QStringLiteral("送信側が見つかりません");
    case E::TimeoutError:
    case E::OperationCanceledError: return QStringLiteral("送信側の応答が止まりました");
    case E::TemporaryNetworkFailureError:
    case E::NetworkSessionFailedError:
    case E::UnknownNetworkError: return QStringLiteral("ネットワークにつながりません");
    case E::ProxyConnectionRefusedError:
    case E::ProxyConnectionClosedError:
    case E::ProxyNotFoundError:
    case E::ProxyTimeoutError:
    case E::ProxyAuthenticationRequiredError:
    case E::UnknownProxyError: return QStringLiteral("プロキシーを通れません");
    case E::ProtocolUnknownError: return QStringLiteral("http のリンクではありません");
    case E::ProtocolInvalidOperationError: return QStringLiteral("送信側が要求を受け付けません");
    case E::ProtocolFailure: return QStringLiteral("送信側の応答を読めません");
    default: break;
    }
    return QStringLiteral("ネットワークのエラー %1").arg(int(error));
}

// What Qt may hold of a reply before the window's thread writes it out: memory stays flat for a
// file of any size.
constexpr qint64 readChunk = 256 * 1024;
// A connection that brings nothing for this long is given up and tried again.
constexpr int stallMs = 60 * 1000;
// How often a paused download looks for free space.
constexpr int pausedRetryMs = 10 * 1000;
constexpr int sampleWindowMs = 5000;

QString stateName(TransferState state)
{
    switch (state) {
    case TransferState::Running: return QStringLiteral("running");
    case TransferState::WaitingForSender: return QStringLiteral("waiting");
    case TransferState::Paused: return QStringLiteral("paused");
    case TransferState::Finished: return QStringLiteral("finished");
    case TransferState::Failed: return QStringLiteral("failed");
    case TransferState::Cancelled: return QStringLiteral("cancelled");
    }
    return {};
}

TransferState stateFromName(const QString &name)
{
    for (TransferState state :
         {TransferState::Running, TransferState::WaitingForSender, TransferState::Paused,
          TransferState::Finished, TransferState::Failed, TransferState::Cancelled}) {
        if (stateName(state) == name)
            return state;
    }
    return TransferState::WaitingForSender;
}

bool isOver(TransferState state)
{
    return state == TransferState::Finished || state == TransferState::Failed ||
           state == TransferState::Cancelled;
}

QString diskFullText()
{
    return QStringLiteral("ディスクがいっぱいです。空きを作ると続きから再開します。");
}

QString endedText(int status)
{
    switch (status) {
    case 410:
        return QStringLiteral("共有が終了しました（送信側でファイルが変更されたか、共有が止められました）。"
                              "このダウンロードは続けられません。");
    case 404: return QStringLiteral("共有が見つかりません。共有が終了したか、リンクが違います。");
    case 403: return QStringLiteral("このファイルはあなたには共有されていません。");
    default: return QStringLiteral("送信側がエラーを返しました（HTTP %1）。").arg(status);
    }
}

// Renames without ever replacing a file: the chosen name, else `name (1).ext`, `name (2).ext`...
// The rename alone decides; a name free when looked at may be taken by another program just after.
QString renameWithoutReplacing(const QString &from, const QString &to, QString *error)
{
    const QByteArray source = QFile::encodeName(from);
    const QFileInfo chosen(to);
    QString candidate = to;
    for (int attempt = 0; attempt < 100 && !candidate.isEmpty(); ++attempt) {
        const QByteArray target = QFile::encodeName(candidate);
        int rc = ::renameat2(AT_FDCWD, source.constData(), AT_FDCWD, target.constData(), RENAME_NOREPLACE);
        if (rc != 0 && errno == EINVAL) {
            // A file system without RENAME_NOREPLACE: a hard link fails the same way on an existing name.
            rc = ::link(source.constData(), target.constData());
            if (rc == 0)
                ::unlink(source.constData());
        }
        if (rc == 0)
            return candidate;
        if (errno != EEXIST) {
            *error = SystemError::text(errno);
            return {};
        }
        candidate = SafeFileName::uniquePath(chosen.path(), chosen.fileName());
    }
    *error = SystemError::text(EEXIST);
    return {};
}

// A link to a file shared by this program: its server states Repr-Digest.
bool isShareLink(const QString &url)
{
    const QList<ShareLinks::FoundLink> links = ShareLinks::find(url);
    return links.size() == 1 && links.first().length == url.size() && !links.first().code.isEmpty();
}

void syncFolder(const QString &path)
{
    const int fd = ::open(QFile::encodeName(QFileInfo(path).absolutePath()).constData(),
                          O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

} // namespace

struct Transfers::Job
{
    DownloadRecord record;
    TransferState state = TransferState::Running;
    QString reason;
    QNetworkReply *reply = nullptr;
    bool accepting = false; // the current reply's body belongs in the .part
    int refusedStatus = 0;  // the current reply's status when it refuses the file
    QFile part;
    std::shared_ptr<Sha256> hash = std::make_shared<Sha256>();
    bool hashed = true; // hash covers all `received` bytes of the .part
    qint64 received = 0;
    qint64 offset = 0; // where the current request started
    int attempt = 0;
    bool digestAsked = false;
    std::unique_ptr<Timer> retry;
    std::unique_ptr<Timer> watchdog;
    QList<QPair<qint64, qint64>> samples;
    std::shared_ptr<std::atomic_bool> stopHashing;
    OwnedThread hasher;
    quint64 generation = 0;

    ~Job()
    {
        if (stopHashing)
            *stopHashing = true;
    }
};

Transfers::Transfers(DownloadStore *store, Network network, Scheduler &scheduler, ShareNow now,
                     QObject *parent)
    : QObject(parent), m_store(store), m_network(std::move(network)), m_scheduler(scheduler),
      m_now(std::move(now))
{
}

Transfers::Transfers(DownloadStore *store, QNetworkAccessManager &network, Scheduler &scheduler, ShareNow now,
                     QObject *parent)
    : Transfers(
          store, [&network]() -> QNetworkAccessManager & { return network; }, scheduler, std::move(now),
          parent)
{
}

Transfers::~Transfers()
{
    // What is unfinished stays in the store as it is; resumeAll() picks it up next time.
    for (auto &[id, job] : m_jobs)
        dropReply(*job);
}

QList<int> Transfers::retryDelays()
{
    return {2000, 5000, 10000, 30000};
}

Transfers::Job *Transfers::findJob(int id) const
{
    const auto it = m_jobs.find(id);
    return it == m_jobs.end() ? nullptr : it->second.get();
}

bool Transfers::partTaken(const QString &target) const
{
    const QFileInfo part(SafeFileName::partPath(target));
    if (part.exists() || part.isSymLink())
        return true;
    const QString path = part.absoluteFilePath();
    return std::any_of(m_jobs.cbegin(), m_jobs.cend(), [&path](const auto &entry) {
        const Job &job = *entry.second;
        return !isOver(job.state) && QFileInfo(job.record.part).absoluteFilePath() == path;
    });
}

int Transfers::start(const QUrl &url, const QString &targetPath)
{
    // Two downloads of one name at once would write into one .part: the later takes `name (1).ext`.
    QString target = targetPath;
    if (partTaken(target)) {
        const QFileInfo chosen(targetPath);
        target = SafeFileName::uniquePath(chosen.path(), chosen.fileName(),
                                          [this](const QString &path) { return partTaken(path); });
    }
    auto job = std::make_unique<Job>();
    job->record.url = url.toString(QUrl::FullyEncoded);
    job->record.target = target.isEmpty() ? targetPath : target;
    // Without a name of its own no .part is this download's: removing it must delete nothing.
    job->record.part = target.isEmpty() ? QString() : SafeFileName::partPath(target);
    job->record.state = stateName(TransferState::Running);
    job->record.startedMs = m_now();
    int id = m_nextId;
    if (m_store) {
        if (const auto stored = m_store->insert(job->record))
            id = int(*stored);
    }
    m_nextId = std::max(m_nextId, id + 1);
    job->record.id = id;
    Job &ref = *job;
    m_jobs[id] = std::move(job);

    if (target.isEmpty()) {
        fail(ref,
             QStringLiteral(
                 "保存先のフォルダに %1 の空いている名前がありません。別の名前か場所を選んでください。")
                 .arg(QFileInfo(targetPath).fileName()),
             false);
        return id;
    }
    ref.part.setFileName(ref.record.part);
    if (!ref.part.open(QIODevice::ReadWrite | QIODevice::Truncate | QIODevice::Unbuffered)) {
        fail(ref,
             QStringLiteral("保存先にファイルを作れません（%1）。別の場所を選んでください。")
                 .arg(SystemError::text(errno)),
             false);
        return id;
    }
    emit changed(id);
    sendGet(ref);
    return id;
}

void Transfers::resumeAll()
{
    if (!m_store)
        return;
    for (const DownloadRecord &record : m_store->all()) {
        const int id = int(record.id);
        if (m_jobs.count(id))
            continue;
        auto job = std::make_unique<Job>();
        job->record = record;
        job->state = stateFromName(record.state);
        job->reason = record.reason;
        m_nextId = std::max(m_nextId, id + 1);
        Job &ref = *job;
        m_jobs[id] = std::move(job);
        if (isOver(ref.state)) {
            if (ref.state == TransferState::Finished)
                ref.received = QFileInfo(ref.record.target).size();
            continue;
        }
        ref.part.setFileName(ref.record.part);
        if (!ref.part.open(QIODevice::ReadWrite | QIODevice::Unbuffered)) {
            fail(ref,
                 QStringLiteral("途中までのファイル %1 を開けません（%2）。")
                     .arg(ref.record.part, SystemError::text(errno)),
                 false);
            continue;
        }
        ref.received = ref.part.size();
        ref.hashed = ref.received == 0;
        begin(ref);
    }
    releaseStoreWhenIdle();
}

void Transfers::begin(Job &job)
{
    if (!job.hashed) {
        hashPart(job);
        return;
    }
    if (job.record.size >= 0 && job.received == job.record.size && job.received > 0) {
        complete(job);
        return;
    }
    sendGet(job);
}

void Transfers::hashPart(Job &job)
{
    // A .part of gigabytes takes seconds to read: never on the window's thread.
    if (job.stopHashing)
        *job.stopHashing = true;
    job.hasher.reset();
    job.stopHashing = std::make_shared<std::atomic_bool>(false);
    const quint64 generation = ++job.generation;
    const int id = int(job.record.id);
    const QString path = job.record.part;
    const qint64 length = job.received;
    const auto stop = job.stopHashing;
    QPointer<Transfers> self(this);
    job.hasher.reset(QThread::create([self, id, generation, path, length, stop] {
        auto hash = std::make_shared<Sha256>();
        qint64 done = 0;
        const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0) {
            // What could not be read is fetched again: the .part is cut to what was hashed.
            const Sha256::FileHashed hashed = hash->addFile(fd, 0, length, *stop);
            ::close(fd);
            if (hashed.outcome == Sha256::FileOutcome::Cancelled)
                return;
            done = hashed.bytes;
        }
        if (*stop)
            return;
        QMetaObject::invokeMethod(
            self.data(),
            [self, id, generation, hash, done] {
                if (!self)
                    return;
                Job *job = self->findJob(id);
                if (!job || job->generation != generation)
                    return;
                job->hash = hash;
                job->received = done;
                job->part.resize(done);
                job->hashed = true;
                self->begin(*job);
            },
            Qt::QueuedConnection);
    }));
    job.hasher->start();
}

void Transfers::sendGet(Job &job)
{
    dropReply(job);
    if (job.retry)
        job.retry->stop();
    job.offset = job.received;
    // Going on from the middle is safe only when the sender can tell that it is the same file.
    const QByteArray validator = !job.record.etag.isEmpty() ? job.record.etag : job.record.lastModified;
    if (job.offset > 0 && validator.isEmpty()) {
        job.part.resize(0);
        job.hash->reset();
        job.received = job.offset = 0;
    }
    QNetworkRequest request{QUrl(job.record.url)};
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
    // Compressed bodies would break both the byte offsets and the digest.
    request.setRawHeader("Accept-Encoding", "identity");
    if (job.offset > 0) {
        request.setRawHeader("Range", "bytes=" + QByteArray::number(job.offset) + '-');
        request.setRawHeader("If-Range", validator);
    }
    job.accepting = false;
    job.part.seek(job.received);
    QNetworkReply *reply = m_network().get(request);
    reply->setReadBufferSize(readChunk);
    job.reply = reply;
    const int id = int(job.record.id);
    connect(reply, &QNetworkReply::metaDataChanged, this, [this, id, reply] {
        if (Job *j = findJob(id); j && j->reply == reply)
            onHeaders(*j);
    });
    connect(reply, &QNetworkReply::readyRead, this, [this, id, reply] {
        if (Job *j = findJob(id); j && j->reply == reply)
            onData(*j);
    });
    connect(reply, &QNetworkReply::finished, this, [this, id, reply] {
        if (Job *j = findJob(id); j && j->reply == reply)
            onReplyFinished(*j);
    });
    if (!job.watchdog) {
        job.watchdog = m_scheduler.createTimer(Timer::SingleShot, Qt::CoarseTimer);
        connect(job.watchdog.get(), &Timer::timeout, this, [this, id] {
            if (Job *j = findJob(id); j && j->reply) {
                dropReply(*j);
                interrupted(*j, TransferState::WaitingForSender,
                            QStringLiteral("送信側からの応答が止まりました。自動で続きから再開します。"));
            }
        });
    }
    job.watchdog->start(stallMs);
}

void Transfers::onHeaders(Job &job)
{
    QNetworkReply *reply = job.reply;
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status == 0 || job.accepting || job.refusedStatus)
        return;
    if (status >= 400 && status != 416) {
        // Handled once the reply has finished: Qt is still emitting this reply's error.
        job.refusedStatus = status;
        return;
    }
    const QByteArray etag = reply->rawHeader("ETag");
    const QByteArray digest = HttpFields::parseReprDigest(reply->rawHeader("Repr-Digest"));
    qint64 total = -1;
    if (status == 200) {
        if (job.received > 0) {
            // The sender's file is not the one the .part began with: start over.
            job.part.resize(0);
            job.part.seek(0);
            job.hash->reset();
            job.received = 0;
        }
        job.offset = 0;
        bool ok = false;
        total = reply->header(QNetworkRequest::ContentLengthHeader).toLongLong(&ok);
        if (!ok)
            total = -1;
        job.record.sha256 = digest;
    } else if (status == 206) {
        const auto range = HttpFields::parseContentRange(reply->rawHeader("Content-Range"));
        const bool sameFile =
            (job.record.etag.isEmpty() || etag.isEmpty() || etag == job.record.etag) &&
            (digest.isEmpty() || job.record.sha256.isEmpty() || digest == job.record.sha256);
        if (!range || range->range.first != job.offset || !sameFile) {
            restartFromZero(job);
            return;
        }
        total = range->length;
        if (!digest.isEmpty())
            job.record.sha256 = digest;
    } else if (status == 416) {
        restartFromZero(job);
        return;
    } else {
        job.refusedStatus = status;
        return;
    }
    job.record.etag = etag;
    job.record.lastModified = reply->rawHeader("Last-Modified");
    job.record.size = total;
    job.accepting = true;
    job.attempt = 0;
    job.digestAsked = false;
    job.state = TransferState::Running;
    job.reason.clear();
    save(job);
    emit changed(int(job.record.id));
}

void Transfers::onData(Job &job)
{
    if (!job.accepting) {
        onHeaders(job);
        if (!job.accepting)
            return;
    }
    QNetworkReply *reply = job.reply;
    while (reply->bytesAvailable() > 0) {
        const QByteArray chunk = reply->read(readChunk);
        if (chunk.isEmpty())
            break;
        qint64 written = 0;
        int writeError = 0;
        while (written < chunk.size()) {
            const qint64 n = job.part.write(chunk.constData() + written, chunk.size() - written);
            if (n <= 0) {
                writeError = errno;
                break;
            }
            written += n;
        }
        job.hash->add(QByteArrayView(chunk.constData(), written));
        job.received += written;
        if (written < chunk.size()) {
            const bool full = job.part.error() == QFileDevice::ResourceError || writeError == ENOSPC ||
                              writeError == EDQUOT;
            const QString error = SystemError::text(writeError);
            job.part.unsetError();
            dropReply(job);
            job.part.resize(job.received);
            interrupted(
                job, TransferState::Paused,
                full ? diskFullText()
                     : QStringLiteral(
                           "ファイルに書き込めません（%1）。書き込めるようになると続きから再開します。")
                           .arg(error));
            return;
        }
    }
    sample(job);
    if (job.watchdog)
        job.watchdog->start(stallMs);
    emit changed(int(job.record.id));
}

void Transfers::onReplyFinished(Job &job)
{
    onData(job);
    if (!job.reply)
        return;
    QNetworkReply *reply = job.reply;
    const QNetworkReply::NetworkError error = reply->error();
    const QString errorText = networkText(error);
    const bool accepted = job.accepting;
    const int refused = std::exchange(job.refusedStatus, 0);
    dropReply(job);
    if (refused == 429 || refused >= 500) {
        interrupted(
            job, TransferState::WaitingForSender,
            QStringLiteral("送信側が今は応答できません（HTTP %1）。自動で再試行します。").arg(refused));
        return;
    }
    if (refused) {
        fail(job, endedText(refused), refused == 410);
        return;
    }
    if (error == QNetworkReply::NoError && accepted) {
        if (job.record.size >= 0 && job.received < job.record.size) {
            interrupted(job, TransferState::WaitingForSender,
                        QStringLiteral("接続が途中で切れました。自動で続きから再開します。"));
            return;
        }
        if (job.record.size < 0)
            job.record.size = job.received;
        complete(job);
        return;
    }
    if (error >= QNetworkReply::ProtocolUnknownError && error <= QNetworkReply::ProtocolFailure &&
        error != QNetworkReply::ProtocolFailure) {
        fail(job, QStringLiteral("このリンクからはダウンロードできません（%1）。").arg(errorText), false);
        return;
    }
    const bool neverConnected =
        error == QNetworkReply::ConnectionRefusedError || error == QNetworkReply::HostNotFoundError;
    interrupted(job, TransferState::WaitingForSender,
                neverConnected
                    ? QStringLiteral("送信側に接続できません。送信側が戻ると自動で続きから再開します。")
                    : QStringLiteral("接続が切れました（%1）。自動で続きから再開します。").arg(errorText));
}

void Transfers::interrupted(Job &job, TransferState state, const QString &reason)
{
    if (job.watchdog)
        job.watchdog->stop();
    job.samples.clear();
    setState(job, state, reason);
    if (state == TransferState::Paused) {
        scheduleRetry(job, pausedRetryMs);
        return;
    }
    const QList<int> delays = retryDelays();
    scheduleRetry(job, delays.at(std::min<int>(job.attempt, int(delays.size()) - 1)));
    ++job.attempt;
}

void Transfers::scheduleRetry(Job &job, int ms)
{
    const int id = int(job.record.id);
    if (!job.retry) {
        job.retry = m_scheduler.createTimer(Timer::SingleShot, Qt::CoarseTimer);
        connect(job.retry.get(), &Timer::timeout, this, [this, id] {
            Job *j = findJob(id);
            if (!j || isOver(j->state))
                return;
            if (j->state == TransferState::Paused) {
                // Only reconnect once the disk can take at least the next piece.
                const qint64 left = j->record.size >= 0 ? j->record.size - j->received : readChunk;
                const qint64 free = QStorageInfo(QFileInfo(j->record.part).absolutePath()).bytesAvailable();
                if (free < std::min<qint64>(readChunk, std::max<qint64>(left, 1))) {
                    scheduleRetry(*j, pausedRetryMs);
                    return;
                }
            }
            begin(*j);
        });
    }
    job.retry->start(ms);
}

void Transfers::restartFromZero(Job &job)
{
    dropReply(job);
    job.part.resize(0);
    job.hash->reset();
    job.received = 0;
    job.record.etag.clear();
    job.record.lastModified.clear();
    job.record.sha256.clear();
    job.record.size = -1;
    save(job);
    sendGet(job);
}

void Transfers::complete(Job &job)
{
    if (job.record.sha256.isEmpty() && !job.digestAsked) {
        // The sender may have learnt the digest since the GET began.
        job.digestAsked = true;
        QNetworkRequest request{QUrl(job.record.url)};
        request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
        request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
        QNetworkReply *reply = m_network().head(request);
        job.reply = reply;
        const int id = int(job.record.id);
        connect(reply, &QNetworkReply::finished, this, [this, id, reply] {
            Job *j = findJob(id);
            if (!j || j->reply != reply)
                return;
            const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
            const QByteArray etag = reply->rawHeader("ETag");
            const QByteArray digest = HttpFields::parseReprDigest(reply->rawHeader("Repr-Digest"));
            const bool answered = reply->error() == QNetworkReply::NoError;
            dropReply(*j);
            if (!answered && status == 0) {
                j->digestAsked = false;
                interrupted(*j, TransferState::WaitingForSender,
                            QStringLiteral("送信側に確認できません。送信側が戻ると自動で確認します。"));
                return;
            }
            const bool sameFile = j->record.etag.isEmpty() || etag == j->record.etag;
            if (status == 200 && sameFile)
                j->record.sha256 = digest;
            if (j->record.sha256.isEmpty() && isShareLink(j->record.url)) {
                // This program's server always states the digest once it is computed: a share is
                // never saved unchecked.
                unchecked(*j, status, sameFile);
                return;
            }
            verify(*j);
        });
        return;
    }
    verify(job);
}

void Transfers::unchecked(Job &job, int status, bool sameFile)
{
    job.digestAsked = false;
    if (status == 403 || status == 404 || status == 410) {
        fail(job, endedText(status), status == 410);
        return;
    }
    if (status == 200 && !sameFile) {
        // The share now holds another file: what was received cannot be checked against it.
        restartFromZero(job);
        return;
    }
    interrupted(job, TransferState::WaitingForSender,
                status == 200 ? QStringLiteral("送信側がファイルの確認値（SHA-256）を計算しています。"
                                               "計算が終わりしだい確認して保存します。")
                              : QStringLiteral("送信側が今は応答できません（HTTP %1）。"
                                               "ファイルの確認値（SHA-256）を自動で問い合わせ直します。")
                                    .arg(status));
}

void Transfers::verify(Job &job)
{
    const int id = int(job.record.id);
    if (!job.record.sha256.isEmpty() && job.hash->result() != job.record.sha256) {
        fail(job,
             QStringLiteral("受け取ったファイルの内容が送信側のものと一致しません（SHA-256 が違います）。"
                            "壊れたファイルは削除しました。もう一度ダウンロードしてください。"),
             true);
        return;
    }
    if (::fsync(job.part.handle()) != 0) {
        interrupted(job, TransferState::Paused,
                    QStringLiteral("ファイルを書き終えられません（%1）。").arg(SystemError::text(errno)));
        return;
    }
    job.part.close();
    QString error;
    const QString finalPath = renameWithoutReplacing(job.record.part, job.record.target, &error);
    if (finalPath.isEmpty()) {
        fail(job,
             QStringLiteral(
                 "受け取ったファイルを %1 として保存できません（%2）。途中のファイル %3 は残してあります。")
                 .arg(job.record.target, error, job.record.part),
             false);
        return;
    }
    syncFolder(finalPath);
    job.record.target = finalPath;
    setState(job, TransferState::Finished, {});
    emit finished(id, finalPath);
}

void Transfers::fail(Job &job, const QString &reason, bool deletePart)
{
    dropReply(job);
    if (job.retry)
        job.retry->stop();
    if (job.watchdog)
        job.watchdog->stop();
    job.part.close();
    if (deletePart) {
        QFile::remove(job.record.part);
        job.received = 0;
    }
    setState(job, TransferState::Failed, reason);
    emit failed(int(job.record.id), reason);
}

void Transfers::setState(Job &job, TransferState state, const QString &reason)
{
    job.state = state;
    job.reason = reason;
    save(job);
    emit changed(int(job.record.id));
}

void Transfers::save(Job &job)
{
    job.record.state = stateName(job.state);
    job.record.reason = job.reason;
    if (m_store)
        m_store->update(job.record);
    if (isOver(job.state))
        releaseStoreWhenIdle();
}

void Transfers::releaseStoreWhenIdle()
{
    const bool busy = std::any_of(m_jobs.cbegin(), m_jobs.cend(),
                                  [](const auto &entry) { return !isOver(entry.second->state); });
    if (m_store && !busy)
        m_store->release();
}

void Transfers::dropReply(Job &job)
{
    if (!job.reply)
        return;
    QNetworkReply *reply = job.reply;
    job.reply = nullptr;
    job.accepting = false;
    job.refusedStatus = 0;
    reply->disconnect(this);
    reply->abort();
    reply->deleteLater();
}

void Transfers::sample(Job &job)
{
    const qint64 now = m_now();
    job.samples.append({now, job.received});
    while (job.samples.size() > 2 && job.samples.first().first < now - sampleWindowMs)
        job.samples.removeFirst();
}

void Transfers::cancel(int id)
{
    Job *j = findJob(id);
    if (!j || isOver(j->state))
        return;
    if (j->stopHashing)
        *j->stopHashing = true;
    ++j->generation;
    dropReply(*j);
    if (j->retry)
        j->retry->stop();
    if (j->watchdog)
        j->watchdog->stop();
    j->part.close();
    QFile::remove(j->record.part);
    j->received = 0;
    setState(*j, TransferState::Cancelled, {});
}

void Transfers::remove(int id)
{
    Job *j = findJob(id);
    if (!j)
        return;
    if (!isOver(j->state))
        cancel(id);
    else if (j->state == TransferState::Failed)
        QFile::remove(j->record.part);
    if (m_store)
        m_store->remove(id);
    m_jobs.erase(id);
    releaseStoreWhenIdle();
    emit changed(id);
}

std::optional<TransferStatus> Transfers::status(int id) const
{
    const Job *j = findJob(id);
    if (!j)
        return std::nullopt;
    TransferStatus status;
    status.id = id;
    status.url = QUrl(j->record.url);
    status.target = j->record.target;
    status.received = j->received;
    status.total = j->record.size;
    status.state = j->state;
    status.reason = j->reason;
    if (j->state == TransferState::Running && j->samples.size() >= 2) {
        const auto &first = j->samples.first();
        const auto &last = j->samples.last();
        if (last.first > first.first)
            status.bytesPerSecond = (last.second - first.second) * 1000 / (last.first - first.first);
        if (status.bytesPerSecond > 0 && status.total >= 0)
            status.secondsLeft =
                (status.total - status.received + status.bytesPerSecond - 1) / status.bytesPerSecond;
    }
    return status;
}

QList<TransferStatus> Transfers::transfers() const
{
    QList<TransferStatus> list;
    for (const auto &[id, job] : m_jobs)
        list.append(*status(id));
    return list;
}

QString Transfers::nameToPropose(const QByteArray &contentDisposition, const QString &nameInLine,
                                 const QUrl &url)
{
    const QString fromUrl = SafeFileName::baseName(url.fileName(QUrl::FullyDecoded));
    return SafeFileName::baseName(HttpFields::parseContentDisposition(contentDisposition),
                                  SafeFileName::baseName(nameInLine, fromUrl));
}

void Transfers::proposedName(const QUrl &url, const QString &nameInLine,
                             std::function<void(const QString &)> done)
{
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
    QNetworkReply *reply = m_network().head(request);
    std::shared_ptr<Timer> timeout = m_scheduler.createTimer(Timer::SingleShot, Qt::CoarseTimer);
    connect(timeout.get(), &Timer::timeout, reply, &QNetworkReply::abort);
    timeout->start(10 * 1000);
    connect(reply, &QNetworkReply::finished, this, [reply, timeout, url, nameInLine, done = std::move(done)] {
        timeout->stop();
        const QByteArray disposition =
            reply->error() == QNetworkReply::NoError ? reply->rawHeader("Content-Disposition") : QByteArray();
        reply->deleteLater();
        done(nameToPropose(disposition, nameInLine, url));
    });
}
