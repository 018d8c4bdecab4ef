#include "droppointregistry.h"

#include "base/scheduler.h"
#include "droppointstore.h"
#include "droppointtable.h"
#include "sharecode.h"

#include <QFile>
#include <QFileInfo>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

namespace {

// As for shares: a clock that jumped ends a drop point at most this late.
constexpr qint64 longestExpiryWait = 60 * 1000;

// Removes a .part an upload left, only while it is still the file that upload created.
void removePart(const DropPointTable::Part &part)
{
    const QByteArray path = QFile::encodeName(part.path);
    struct stat status = {};
    if (::lstat(path.constData(), &status) == 0 && S_ISREG(status.st_mode) &&
        quint64(status.st_dev) == part.device && quint64(status.st_ino) == part.inode)
        ::unlink(path.constData());
}

} // namespace

DropPointRegistry::DropPointRegistry(DropPointStore *store, DropPointTable &table, Scheduler &scheduler,
                                     ShareNow now, QObject *parent)
    : QObject(parent), m_store(store), m_table(table),
      m_expiryTimer(scheduler.createTimer(Timer::SingleShot, Qt::CoarseTimer)), m_now(std::move(now))
{
    connect(m_expiryTimer.get(), &Timer::timeout, this, &DropPointRegistry::expire);
}

DropPointRegistry::~DropPointRegistry() = default;

void DropPointRegistry::start()
{
    if (m_store && !m_store->isOpen())
        storeFailed(m_store->openProblem().isEmpty() ? QStringLiteral("受け取り口の記録を開けません。")
                                                     : m_store->openProblem());
    if (m_store) {
        auto loaded = m_store->loadAll();
        if (const QString *message = std::get_if<QString>(&loaded)) {
            storeFailed(*message);
        } else {
            const qint64 now = m_now();
            for (const DropPointEntry &entry : std::get<QList<DropPointEntry>>(loaded)) {
                // "Until the program ends" belonged to the previous run.
                const bool holds = entry.expiresMs != 0 && entry.expiresMs > now &&
                                   ShareCode::normalized(entry.code) == entry.code &&
                                   QFileInfo(entry.folder).isDir();
                if (!holds) {
                    m_table.end(entry.code);
                    if (const QString message = m_store->remove(entry.code); !message.isEmpty())
                        storeFailed(message);
                    continue;
                }
                m_entries.insert(entry.code, entry);
                m_table.put(entry);
            }
        }
    }
    resumeUploads();
    if (m_store) {
        // No upload runs yet: every .part recorded was left by an earlier run.
        auto parts = m_store->parts();
        if (const QString *message = std::get_if<QString>(&parts)) {
            storeFailed(*message);
        } else {
            for (const DropPointStore::StoredPart &part :
                 std::get<QList<DropPointStore::StoredPart>>(parts)) {
                removePart({0, part.path, part.device, part.inode});
                if (const QString message = m_store->removePart(part.path); !message.isEmpty())
                    storeFailed(message);
            }
        }
    }
    if (m_store) {
        auto receipts = m_store->receipts();
        if (const QString *message = std::get_if<QString>(&receipts))
            storeFailed(*message);
        else
            for (const DropPointReceipt &receipt : std::get<QList<DropPointReceipt>>(receipts))
                m_received[receipt.code].append(receipt);
    }
    releaseStoreWhenIdle();
    armExpiry();
    emit changed();
}

std::variant<DropPointEntry, QString> DropPointRegistry::open(const QString &folder, ShareLifetime lifetime,
                                                              const QStringList &senders,
                                                              const QString &receiverName, qint64 sizeLimit)
{
    const QFileInfo info(folder);
    if (folder.isEmpty() || !info.isDir())
        return QStringLiteral(
                   "フォルダー「%1」が見つかりません。受け取り先のフォルダーを選び直してください。")
            .arg(folder);
    if (!info.isWritable())
        return QStringLiteral("フォルダー「%1」に書き込む権限がありません。別のフォルダーを選んでください。")
            .arg(folder);
    if (lifetime == ShareLifetime::SevenDays)
        lifetime = ShareLifetime::OneDay;

    DropPointEntry entry;
    do {
        entry.code = ShareCode::generate();
    } while (m_entries.contains(entry.code) || m_table.find(entry.code) || m_table.ended(entry.code));
    entry.folder = info.canonicalFilePath();
    entry.receiverName = receiverName;
    entry.senders = senders;
    entry.sizeLimit = sizeLimit > 0 ? sizeLimit : DropPointEntry::defaultSizeLimit;
    entry.createdMs = m_now();
    entry.expiresMs = lifetime == ShareLifetime::UntilEnd ? 0 : entry.createdMs + durationMs(lifetime);
    if (m_store) {
        if (const QString message = m_store->insert(entry); !message.isEmpty())
            storeFailed(message);
    }
    m_entries.insert(entry.code, entry);
    m_table.put(entry);
    armExpiry();
    emit changed();
    return entry;
}

void DropPointRegistry::stop(const QString &code)
{
    if (m_entries.contains(code))
        end(code);
}

void DropPointRegistry::stopAll()
{
    QStringList untilEnd;
    for (const DropPointEntry &entry : std::as_const(m_entries)) {
        if (entry.expiresMs == 0)
            untilEnd.append(entry.code);
    }
    for (const QString &code : std::as_const(untilEnd))
        end(code);
}

QList<DropPointEntry> DropPointRegistry::list() const
{
    QList<DropPointEntry> entries = m_entries.values();
    std::sort(entries.begin(), entries.end(), [](const DropPointEntry &a, const DropPointEntry &b) {
        return std::tie(a.createdMs, a.code) < std::tie(b.createdMs, b.code);
    });
    return entries;
}

QList<DropPointReceipt> DropPointRegistry::received(const QString &code) const
{
    return m_received.value(code);
}

void DropPointRegistry::receive(const DropPointReceipt &receipt)
{
    m_received[receipt.code].append(receipt);
    if (m_store) {
        if (const QString message = m_store->addReceipt(receipt); !message.isEmpty())
            storeFailed(message);
    }
    releaseStoreWhenIdle();
    emit fileReceived(receipt.code, receipt.name, receipt.size, receipt.sha256, receipt.fromAddress,
                      receipt.savedPath);
    emit changed();
}

void DropPointRegistry::fail(const QString &code, const QString &name, const QString &reason)
{
    emit uploadFailed(code, name, reason);
}

void DropPointRegistry::partCreated(const QString &code, const QString &path, quint64 device, quint64 inode)
{
    if (m_store) {
        if (const QString message = m_store->addPart({code, path, device, inode}); !message.isEmpty())
            storeFailed(message);
    }
    releaseStoreWhenIdle();
}

void DropPointRegistry::partGone(const QString &path)
{
    if (m_store) {
        if (const QString message = m_store->removePart(path); !message.isEmpty())
            storeFailed(message);
    }
    releaseStoreWhenIdle();
}

void DropPointRegistry::resumableSaved(const ResumableUpload &upload)
{
    if (m_store) {
        if (const QString message = m_store->saveUpload(upload); !message.isEmpty())
            storeFailed(message);
    }
    releaseStoreWhenIdle();
}

void DropPointRegistry::resumableGone(const QString &token)
{
    if (m_store) {
        if (const QString message = m_store->removeUpload(token); !message.isEmpty())
            storeFailed(message);
    }
    releaseStoreWhenIdle();
}

void DropPointRegistry::resumeUploads()
{
    if (!m_store)
        return;
    auto uploads = m_store->uploads();
    if (const QString *message = std::get_if<QString>(&uploads)) {
        storeFailed(*message);
        return;
    }
    for (ResumableUpload upload : std::get<QList<ResumableUpload>>(uploads)) {
        struct stat status = {};
        const bool ours = ::lstat(QFile::encodeName(upload.partPath).constData(), &status) == 0 &&
                          S_ISREG(status.st_mode) && quint64(status.st_dev) == upload.device &&
                          quint64(status.st_ino) == upload.inode;
        if (ours && m_entries.contains(upload.code)) {
            // The last offset recorded may lag behind the bytes on disk, or a crash may have lost
            // bytes that were recorded: the sender goes on from what is both.
            upload.offset = qBound<qint64>(0, upload.offset, qint64(status.st_size));
            DropPointTable::Resumable resumable;
            resumable.upload = upload;
            const quint64 partId = m_table.addResumable(resumable);
            if (partId != 0 && m_table.claim(upload.code, upload.offset))
                continue;
            m_table.removeResumable(upload.token);
            if (partId != 0)
                m_table.removePart(upload.code, partId);
        }
        if (ours)
            removePart({0, upload.partPath, upload.device, upload.inode});
        if (const QString message = m_store->removeUpload(upload.token); !message.isEmpty())
            storeFailed(message);
    }
}

void DropPointRegistry::end(const QString &code)
{
    m_entries.remove(code);
    // An upload that is still running notices the end at its next block; one that stalled is not
    // waited for.
    for (const DropPointTable::Part &part : m_table.end(code)) {
        removePart(part);
        partGone(part.path);
    }
    if (m_store) {
        if (const QString message = m_store->remove(code); !message.isEmpty())
            storeFailed(message);
    }
    releaseStoreWhenIdle();
    armExpiry();
    emit ended(code);
    emit changed();
}

void DropPointRegistry::armExpiry()
{
    qint64 soonest = 0;
    for (const DropPointEntry &entry : std::as_const(m_entries)) {
        if (entry.expiresMs != 0 && (soonest == 0 || entry.expiresMs < soonest))
            soonest = entry.expiresMs;
    }
    if (soonest == 0) {
        m_expiryTimer->stop();
        return;
    }
    m_expiryTimer->start(int(std::clamp<qint64>(soonest - m_now(), 0, longestExpiryWait)));
}

void DropPointRegistry::expire()
{
    const qint64 now = m_now();
    QStringList due;
    for (const DropPointEntry &entry : std::as_const(m_entries)) {
        if (entry.expiresMs != 0 && entry.expiresMs <= now)
            due.append(entry.code);
    }
    for (const QString &code : std::as_const(due))
        end(code);
    armExpiry();
}

void DropPointRegistry::releaseStoreWhenIdle()
{
    if (m_store && m_entries.isEmpty())
        m_store->release();
}

void DropPointRegistry::storeFailed(const QString &message)
{
    const bool first = m_store != nullptr;
    m_store = nullptr;
    if (first)
        emit problem(message + QStringLiteral("\n受け取り口はこのまま使えますが、記録されないので、"
                                              "プログラムを終えると閉じます。"));
}
