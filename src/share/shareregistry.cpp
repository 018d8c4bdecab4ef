#include "shareregistry.h"

#include "base/filedescriptor.h"
#include "base/scheduler.h"
#include "base/systemerror.h"
#include "sha256.h"
#include "sharecode.h"
#include "sharestore.h"
#include "sharetable.h"

#include <QFile>
#include <QFileInfo>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

// Expiry is checked at least this often, so that a clock that jumped (a suspend, a time change)
// ends a share at most this late.
constexpr qint64 longestExpiryWait = 60 * 1000;

QString changedReason()
{
    return QStringLiteral("共有したあとでファイルが変更、移動または削除されたので、共有を終えました。"
                          "もう一度共有してください。");
}

QString systemError(int error)
{
    return SystemError::text(error);
}

} // namespace

ShareRegistry::ShareRegistry(ShareStore *store, ShareTable &table, Scheduler &scheduler, ShareNow now,
                             QObject *parent)
    : QObject(parent), m_store(store), m_table(table),
      m_expiryTimer(scheduler.createTimer(Timer::SingleShot, Qt::CoarseTimer)), m_now(std::move(now))
{
    // Two at a time: one large file being hashed does not hold up a small one shared after it.
    m_hashers.setMaxThreadCount(2);
    connect(m_expiryTimer.get(), &Timer::timeout, this, &ShareRegistry::expire);
}

ShareRegistry::~ShareRegistry()
{
    // A digest left unfinished stays NULL in the store and is computed at the next start.
    for (const Share &share : std::as_const(m_shares)) {
        if (share.hashCancelled)
            *share.hashCancelled = true;
    }
    m_hashers.waitForDone();
}

void ShareRegistry::start()
{
    if (m_store && !m_store->isOpen()) {
        storeFailed(m_store->openProblem().isEmpty() ? QStringLiteral("共有の記録を開けません。")
                                                     : m_store->openProblem());
    }
    if (m_store) {
        auto loaded = m_store->loadAll();
        if (const QString *message = std::get_if<QString>(&loaded)) {
            storeFailed(*message);
        } else {
            const qint64 now = m_now();
            for (const ShareStore::StoredShare &stored : std::get<QList<ShareStore::StoredShare>>(loaded)) {
                const ShareEntry &entry = stored.entry;
                // Shares "until the program ends" belonged to the previous run; a file changed while
                // the program was not running is no longer the one that was shared.
                const bool holds = entry.expiresMs != 0 && entry.expiresMs > now &&
                                   ShareCode::normalized(entry.code) == entry.code &&
                                   FileIdentity::ofPath(entry.path) == entry.identity;
                if (!holds) {
                    // A link to it may still go round: it is answered as ended, not as unknown.
                    const bool ended = entry.expiresMs == 0 || entry.expiresMs <= now;
                    m_table.end(entry.code, ended ? ShareTable::Ending::Ended : ShareTable::Ending::Changed);
                    if (m_store) {
                        if (const QString message = m_store->remove(entry.code); !message.isEmpty())
                            storeFailed(message);
                    }
                    continue;
                }
                Share &share = m_shares[entry.code];
                share.entry = entry;
                share.downloadsBefore = stored.downloads;
                if (entry.sha256.size() != 32)
                    share.entry.sha256.clear();
                m_table.put(share.entry);
                if (share.entry.sha256.isEmpty())
                    computeDigest(share);
            }
        }
    }
    if (m_store) {
        auto port = m_store->port();
        if (const QString *message = std::get_if<QString>(&port))
            storeFailed(*message);
        else
            m_port = std::get<std::optional<quint16>>(port);
    }
    releaseStoreWhenIdle();
    armExpiry();
    emit changed();
}

std::variant<ShareEntry, QString> ShareRegistry::share(const QString &path, ShareLifetime lifetime,
                                                       const QStringList &recipients)
{
    const QFileInfo info(path);
    const QString absolute = info.absoluteFilePath();
    const QString name = info.fileName();
    const QByteArray native = QFile::encodeName(absolute);
    struct stat status = {};
    if (path.isEmpty() || ::stat(native.constData(), &status) != 0) {
        const int error = path.isEmpty() ? ENOENT : errno;
        if (error == ENOENT || error == ENOTDIR)
            return QStringLiteral(
                       "「%1」が見つかりません。ファイルが移動または削除されていないか確かめてください。")
                .arg(absolute);
        if (error == EACCES)
            return QStringLiteral("「%"
                                  "1」のあるフォルダーを開く権限がないので共有できません。フォルダーの権限を"
                                  "確かめてください。")
                .arg(absolute);
        return QStringLiteral("「%1」を調べられません（%2）。").arg(absolute, systemError(error));
    }
    if (S_ISDIR(status.st_mode))
        return QStringLiteral("「%1」はフォルダーなので共有できません。中のファイルを選ぶか、"
                              "一つのファイルにまとめてから共有してください。")
            .arg(name);
    if (!S_ISREG(status.st_mode))
        return QStringLiteral(
                   "「%1」は通常のファイルではない（ソケット、FIFO、デバイスなど）ので共有できません。"
                   "通常のファイルを選んでください。")
            .arg(name);
    // O_NONBLOCK: a file swapped for a FIFO since stat() must not hang the window.
    const FileDescriptor fd(::open(native.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (!fd.isValid()) {
        const int error = errno;
        if (error == EACCES || error == EPERM)
            return QStringLiteral(
                       "「%1」を読み取る権限がないので共有できません。ファイルの権限を確かめてください。")
                .arg(name);
        return QStringLiteral("「%1」を開けないので共有できません（%2）。").arg(name, systemError(error));
    }
    const std::optional<FileIdentity> identity = FileIdentity::of(fd.get());
    if (!identity)
        return QStringLiteral(
                   "「%1」は通常のファイルではないので共有できません。通常のファイルを選んでください。")
            .arg(name);

    ShareEntry entry;
    do {
        entry.code = ShareCode::generate();
    } while (m_shares.contains(entry.code) || m_table.find(entry.code));
    entry.path = absolute;
    entry.name = name;
    entry.identity = *identity;
    entry.recipients = recipients;
    entry.sharedMs = m_now();
    entry.expiresMs = lifetime == ShareLifetime::UntilEnd ? 0 : entry.sharedMs + durationMs(lifetime);
    if (m_store) {
        if (const QString message = m_store->insert(entry); !message.isEmpty())
            storeFailed(message);
    }
    Share &share = m_shares[entry.code];
    share.entry = entry;
    m_table.put(entry);
    computeDigest(share);
    armExpiry();
    emit changed();
    return entry;
}

void ShareRegistry::stop(const QString &code)
{
    if (m_shares.contains(code))
        end(code, QStringLiteral("共有を止めました。"));
}

void ShareRegistry::fileChanged(const QString &code)
{
    if (m_shares.contains(code))
        end(code, changedReason(), ShareTable::Ending::Changed);
}

void ShareRegistry::stopAll()
{
    bool any = false;
    for (auto it = m_shares.begin(); it != m_shares.end();) {
        if (it->entry.expiresMs != 0) {
            ++it;
            continue;
        }
        if (it->hashCancelled)
            *it->hashCancelled = true;
        m_table.end(it.key(), ShareTable::Ending::Ended);
        if (m_store) {
            if (const QString message = m_store->remove(it.key()); !message.isEmpty())
                storeFailed(message);
        }
        it = m_shares.erase(it);
        any = true;
    }
    releaseStoreWhenIdle();
    if (any) {
        armExpiry();
        emit changed();
    }
}

void ShareRegistry::end(const QString &code, const QString &reason, ShareTable::Ending why)
{
    const auto found = m_shares.find(code);
    if (found == m_shares.end())
        return;
    if (found->hashCancelled)
        *found->hashCancelled = true;
    m_shares.erase(found);
    m_table.end(code, why);
    if (m_store) {
        if (const QString message = m_store->remove(code); !message.isEmpty())
            storeFailed(message);
    }
    releaseStoreWhenIdle();
    armExpiry();
    emit ended(code, reason);
    emit changed();
}

QList<ShareStatus> ShareRegistry::shares() const
{
    QList<ShareStatus> list;
    list.reserve(m_shares.size());
    for (const Share &share : m_shares)
        list.append({share.entry, lifetimeOf(share.entry), share.downloadsBefore + share.downloadsNow});
    std::sort(list.begin(), list.end(), [](const ShareStatus &a, const ShareStatus &b) {
        return a.entry.sharedMs != b.entry.sharedMs ? a.entry.sharedMs < b.entry.sharedMs
                                                    : a.entry.code < b.entry.code;
    });
    return list;
}

std::optional<ShareEntry> ShareRegistry::find(const QString &code) const
{
    const auto found = m_shares.constFind(code);
    if (found == m_shares.constEnd())
        return std::nullopt;
    return found->entry;
}

void ShareRegistry::rememberPort(quint16 port)
{
    if (m_port == port)
        return;
    m_port = port;
    if (m_store) {
        if (const QString message = m_store->setPort(port); !message.isEmpty())
            storeFailed(message);
    }
}

ShareLifetime ShareRegistry::lifetimeOf(const ShareEntry &entry)
{
    if (entry.expiresMs == 0)
        return ShareLifetime::UntilEnd;
    const qint64 duration = entry.expiresMs - entry.sharedMs;
    ShareLifetime nearest = ShareLifetime::OneHour;
    for (const ShareLifetime lifetime : {ShareLifetime::OneDay, ShareLifetime::SevenDays}) {
        if (std::abs(durationMs(lifetime) - duration) < std::abs(durationMs(nearest) - duration))
            nearest = lifetime;
    }
    return nearest;
}

void ShareRegistry::setDownloadCounts(const QHash<QString, int> &finishedSinceStart)
{
    bool any = false;
    for (auto it = finishedSinceStart.constBegin(); it != finishedSinceStart.constEnd(); ++it) {
        const auto found = m_shares.find(it.key());
        if (found == m_shares.end() || found->downloadsNow == it.value())
            continue;
        found->downloadsNow = it.value();
        any = true;
        if (m_store) {
            if (const QString message =
                    m_store->setDownloads(it.key(), found->downloadsBefore + found->downloadsNow);
                !message.isEmpty())
                storeFailed(message);
        }
    }
    if (any)
        emit changed();
}

void ShareRegistry::computeDigest(Share &share)
{
    if (share.hashCancelled)
        *share.hashCancelled = true;
    share.hashCancelled = std::make_shared<std::atomic<bool>>(false);
    m_hashers.start([this, code = share.entry.code, path = share.entry.path, identity = share.entry.identity,
                     cancelled = share.hashCancelled] {
        Sha256 hash;
        HashOutcome outcome = HashOutcome::Done;
        const FileDescriptor fd(
            ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
        if (!fd.isValid()) {
            outcome = errno == ENOENT ? HashOutcome::Changed : HashOutcome::Unreadable;
        } else if (FileIdentity::of(fd.get()) != identity) {
            outcome = HashOutcome::Changed;
        } else {
            const Sha256::FileHashed hashed = hash.addFile(fd.get(), 0, -1, *cancelled);
            if (hashed.outcome == Sha256::FileOutcome::Cancelled)
                outcome = HashOutcome::Cancelled;
            else if (hashed.outcome == Sha256::FileOutcome::Failed)
                outcome = HashOutcome::Unreadable;
            // Written to during the read, or replaced under the same name: the digest is of
            // neither file.
            else if (hashed.bytes != identity.size || FileIdentity::of(fd.get()) != identity ||
                     FileIdentity::ofPath(path) != identity)
                outcome = HashOutcome::Changed;
        }
        const QByteArray sha256 = outcome == HashOutcome::Done ? hash.result() : QByteArray();
        QMetaObject::invokeMethod(
            this,
            [this, code, identity, outcome, sha256] { digestComputed(code, identity, outcome, sha256); },
            Qt::QueuedConnection);
    });
}

void ShareRegistry::digestComputed(const QString &code, const FileIdentity &identity, HashOutcome outcome,
                                   const QByteArray &sha256)
{
    const auto found = m_shares.find(code);
    if (found == m_shares.end() || found->entry.identity != identity)
        return;
    switch (outcome) {
    case HashOutcome::Cancelled: return;
    case HashOutcome::Changed: end(code, changedReason(), ShareTable::Ending::Changed); return;
    case HashOutcome::Unreadable:
        end(code, QStringLiteral("ファイルを読み取れなくなったので、共有を終えました。"
                                 "ファイルの権限とディスクを確かめて、もう一度共有してください。"));
        return;
    case HashOutcome::Done: break;
    }
    found->entry.sha256 = sha256;
    found->hashCancelled.reset();
    m_table.put(found->entry);
    if (m_store) {
        if (const QString message = m_store->setSha256(code, sha256); !message.isEmpty())
            storeFailed(message);
    }
    emit digestReady(code);
    emit changed();
}

void ShareRegistry::armExpiry()
{
    qint64 soonest = 0;
    for (const Share &share : std::as_const(m_shares)) {
        if (share.entry.expiresMs != 0 && (soonest == 0 || share.entry.expiresMs < soonest))
            soonest = share.entry.expiresMs;
    }
    if (soonest == 0) {
        m_expiryTimer->stop();
        return;
    }
    m_expiryTimer->start(int(std::clamp<qint64>(soonest - m_now(), 0, longestExpiryWait)));
}

void ShareRegistry::expire()
{
    const qint64 now = m_now();
    QStringList due;
    for (const Share &share : std::as_const(m_shares)) {
        if (share.entry.expiresMs != 0 && share.entry.expiresMs <= now)
            due.append(share.entry.code);
    }
    for (const QString &code : std::as_const(due))
        end(code, QStringLiteral("有効期限が切れたので、共有を終えました。"));
    armExpiry();
}

void ShareRegistry::releaseStoreWhenIdle()
{
    if (m_store && m_shares.isEmpty())
        m_store->release();
}

void ShareRegistry::storeFailed(const QString &message)
{
    m_store = nullptr;
    if (!m_problemText.isEmpty())
        return;
    m_problemText = message + QStringLiteral("\n共有はこのまま続けられますが、記録されないので、"
                                             "プログラムを終えると消えます。");
    emit problem(m_problemText);
}
