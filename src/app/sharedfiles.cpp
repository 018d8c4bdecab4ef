#include "sharedfiles.h"

#include "base/scheduler.h"
#include "share/droppointregistry.h"
#include "share/keptsharing.h"
#include "share/sharelinks.h"
#include "share/shareregistry.h"
#include "share/shareserver.h"
#include "share/transfers.h"

#include <QDateTime>
#include <QFileInfo>
#include <QHostAddress>
#include <QNetworkAccessManager>

#include <limits>

namespace {

qint64 wallClock()
{
    return QDateTime::currentMSecsSinceEpoch();
}

} // namespace

// The shares window's view of the registry and of what the server is sending.
class SharedFiles::Sharing : public FileSharing
{
public:
    explicit Sharing(SharedFiles &files) : m_files(files) {}

    // Called once the registries exist.
    void follow(ShareRegistry &registry, DropPointRegistry &drops)
    {
        connect(&registry, &ShareRegistry::changed, this, &FileSharing::changed);
        connect(&drops, &DropPointRegistry::changed, this, &FileSharing::changed);
        connect(&drops, &DropPointRegistry::fileReceived, this,
                [this](const QString &, const QString &name, qint64 size, const QByteArray &,
                       const QString &from, const QString &savedPath) {
                    emit fileReceived(name, size, from, QFileInfo(savedPath).path());
                });
        connect(&drops, &DropPointRegistry::uploadFailed, this,
                [this, &drops](const QString &code, const QString &name, const QString &reason) {
                    QString folder;
                    for (const DropPointEntry &entry : drops.list()) {
                        if (entry.code == code)
                            folder = entry.folder;
                    }
                    emit uploadFailed(name, reason, folder);
                });
    }

    Offer offer(const QString &path, ShareLifetime lifetime, const QStringList &recipients) override
    {
        m_files.wake();
        // The server starts with the first share, before it: a link is only sent once it answers.
        const bool listening = m_files.m_listening;
        if (!listening) {
            if (const auto failure = m_files.listen())
                return {{}, *failure};
        }
        const auto shared = m_files.m_registry->share(path, lifetime, recipients);
        if (const auto *error = std::get_if<QString>(&shared)) {
            if (!listening)
                m_files.stopServing();
            return {{}, *error};
        }
        const ShareEntry &entry = std::get<ShareEntry>(shared);
        const QString url = ShareLinks::url(m_files.m_address, m_files.m_server->port(), entry.code);
        return {ShareLinks::lineText(entry.name, entry.identity.size, url, lifetime), {}};
    }

    QList<ShareRow> shares() const override
    {
        m_files.wake();
        const QList<ServedTransfer> running = m_files.m_server->running();
        const qint64 now = wallClock();
        QList<ShareRow> rows;
        for (const ShareStatus &status : m_files.m_registry->shares()) {
            ShareRow row;
            row.code = status.entry.code;
            row.name = status.entry.name;
            row.size = status.entry.identity.size;
            row.recipients = status.entry.recipients;
            row.downloadsFinished = status.downloads;
            for (const ServedTransfer &transfer : running) {
                if (transfer.code != row.code)
                    continue;
                ++row.downloadsRunning;
                row.runningBytesSent += transfer.sent;
                row.runningBytesTotal += transfer.total;
            }
            row.msLeft = status.entry.expiresMs == 0 ? -1 : qMax<qint64>(0, status.entry.expiresMs - now);
            rows.append(row);
        }
        return rows;
    }

    void stop(const QString &code) override
    {
        m_files.wake();
        m_files.m_registry->stop(code);
    }

    DropPointOffer openDropPoint(const QString &folder, ShareLifetime lifetime, const QStringList &senders,
                                 const QString &receiverName, qint64 sizeLimit) override
    {
        m_files.wake();
        // As for a share: the link is only sent once the server answers.
        const bool listening = m_files.m_listening;
        if (!listening) {
            if (const auto failure = m_files.listen())
                return {{}, {}, *failure};
        }
        const auto opened = m_files.m_dropPoints->open(folder, lifetime, senders, receiverName, sizeLimit);
        if (const auto *error = std::get_if<QString>(&opened)) {
            if (!listening)
                m_files.stopServing();
            return {{}, {}, *error};
        }
        const DropPointEntry &entry = std::get<DropPointEntry>(opened);
        const QString url = ShareLinks::dropPointUrl(m_files.m_address, m_files.m_server->port(), entry.code);
        // The registry takes seven days as one; the line says what holds.
        const ShareLifetime told = lifetime == ShareLifetime::SevenDays ? ShareLifetime::OneDay : lifetime;
        return {entry.code, ShareLinks::dropPointLineText(receiverName, url, told), {}};
    }

    QList<DropPointRow> dropPoints() const override
    {
        m_files.wake();
        const qint64 now = wallClock();
        QList<DropPointRow> rows;
        const QList<DropPointTable::Upload> uploads = m_files.m_dropTable.uploads();
        for (const DropPointEntry &entry : m_files.m_dropPoints->list()) {
            DropPointRow row;
            row.code = entry.code;
            if (m_files.m_listening)
                row.url = ShareLinks::dropPointUrl(m_files.m_address, m_files.m_server->port(), entry.code);
            row.senders = entry.senders;
            const QList<DropPointReceipt> received = m_files.m_dropPoints->received(entry.code);
            row.filesReceived = int(received.size());
            if (!received.isEmpty())
                row.lastFile = received.last().name;
            row.msLeft = entry.expiresMs == 0 ? -1 : qMax<qint64>(0, entry.expiresMs - now);
            bool totalKnown = true;
            qint64 total = 0;
            for (const DropPointTable::Upload &upload : uploads) {
                if (upload.code != entry.code || upload.waiting)
                    continue;
                ++row.uploading;
                row.uploadingBytes += upload.written;
                totalKnown = totalKnown && upload.total >= 0;
                total += upload.total;
            }
            row.uploadingTotal = totalKnown ? total : -1;
            rows.append(row);
        }
        return rows;
    }

    void stopDropPoint(const QString &code) override
    {
        m_files.wake();
        m_files.m_dropPoints->stop(code);
    }

private:
    SharedFiles &m_files;
};

// The downloads window's view of the transfers.
class SharedFiles::Downloads : public FileDownloads
{
public:
    explicit Downloads(SharedFiles &files) : m_files(files) {}

    // Called once the transfers exist.
    void follow(Transfers &transfers)
    {
        connect(&transfers, &Transfers::changed, this, &FileDownloads::changed);
        connect(&transfers, &Transfers::finished, this, &FileDownloads::finished);
        connect(&transfers, &Transfers::failed, this, &FileDownloads::failed);
    }

    int start(const QUrl &url, const QString &targetPath) override
    {
        return m_files.transfers()->start(url, targetPath);
    }
    void cancel(int id) override { m_files.transfers()->cancel(id); }
    void proposedName(const QUrl &url, const QString &nameInLine,
                      std::function<void(const QString &)> done) override
    {
        m_files.transfers()->proposedName(url, nameInLine, std::move(done));
    }

    QList<TransferRow> transfers() const override
    {
        QList<TransferRow> rows;
        for (const TransferStatus &status : m_files.transfers()->transfers()) {
            TransferRow row;
            row.id = status.id;
            row.target = status.target;
            row.received = status.received;
            row.size = status.total;
            row.bytesPerSecond = double(status.bytesPerSecond);
            row.reason = status.reason;
            switch (status.state) {
            case TransferState::Running: row.state = TransferRow::State::Running; break;
            case TransferState::WaitingForSender:
            case TransferState::Paused: row.state = TransferRow::State::Waiting; break;
            case TransferState::Finished: row.state = TransferRow::State::Finished; break;
            case TransferState::Failed: row.state = TransferRow::State::Failed; break;
            case TransferState::Cancelled: row.state = TransferRow::State::Cancelled; break;
            }
            rows.append(row);
        }
        appendUploads(rows);
        return rows;
    }

private:
    // The speed of an upload is measured between two looks, at least this far apart.
    static constexpr qint64 speedSampleMs = 500;
    struct Sample
    {
        qint64 atMs = 0;
        qint64 written = 0;
        double bytesPerSecond = 0;
    };

    void appendUploads(QList<TransferRow> &rows) const
    {
        const qint64 now = wallClock();
        QHash<quint64, Sample> samples;
        const DropPointTable &drops = m_files.m_dropTable;
        for (const DropPointTable::Upload &upload : drops.uploads()) {
            Sample sample = m_samples.value(upload.id, {now, upload.written, 0});
            if (now - sample.atMs >= speedSampleMs) {
                sample.bytesPerSecond =
                    double(upload.written - sample.written) * 1000.0 / double(now - sample.atMs);
                sample.atMs = now;
                sample.written = upload.written;
            }
            samples.insert(upload.id, sample);
            TransferRow row;
            row.id = -int(upload.id % std::numeric_limits<int>::max()) - 1;
            row.target = drops.find(upload.code).value_or(DropPointEntry()).folder + u'/' + upload.name;
            row.received = upload.written;
            row.size = upload.total;
            row.bytesPerSecond = sample.bytesPerSecond;
            row.from = upload.address;
            if (upload.waiting) {
                row.state = TransferRow::State::Waiting;
                row.reason = QStringLiteral("%1 からの続きを待っています").arg(upload.address);
                row.bytesPerSecond = 0;
            }
            rows.append(row);
        }
        m_samples = samples;
    }

    SharedFiles &m_files;
    mutable QHash<quint64, Sample> m_samples;
};

SharedFiles::SharedFiles(Scheduler &scheduler, QObject *parent)
    : QObject(parent), m_scheduler(scheduler),
      m_idleTimer(scheduler.createTimer(Timer::SingleShot, Qt::VeryCoarseTimer))
{
    connect(m_idleTimer.get(), &Timer::timeout, this, &SharedFiles::idle);
    auto sharing = std::make_unique<Sharing>(*this);
    m_sharingView = sharing.get();
    m_sharing = std::move(sharing);
    auto downloads = std::make_unique<Downloads>(*this);
    m_downloadsView = downloads.get();
    m_downloads = std::move(downloads);
}

SharedFiles::~SharedFiles()
{
    // The windows' views go first, then the server's threads, before the table they read.
    m_downloads.reset();
    m_sharing.reset();
    if (m_server)
        m_server->close();
}

void SharedFiles::start(const QString &databasePath, const QString &address, int chatPort)
{
    m_address = address;
    m_databasePath = databasePath;
    m_chatPort = chatPort;
    // With nothing kept from an earlier run, the rest waits for the user's first share, drop point,
    // download or look at a window.
    if (!databasePath.isEmpty() && KeptSharing::anything(databasePath))
        wake();
}

void SharedFiles::wake()
{
    if (m_awake)
        return;
    m_awake = true;
    const QString &databasePath = m_databasePath;
    const int chatPort = m_chatPort;
    // Without a file (the history's could not be used, which the chat log has said) both stores
    // live in memory for this run.
    const QString shareProblem =
        databasePath.isEmpty() ? QString() : m_shareStore.open(databasePath, chatPort);
    const bool kept = !databasePath.isEmpty() && shareProblem.isEmpty();
    m_registry =
        std::make_unique<ShareRegistry>(kept ? &m_shareStore : nullptr, m_table, m_scheduler, wallClock);
    connect(m_registry.get(), &ShareRegistry::problem, this, &SharedFiles::notice);
    connect(m_registry.get(), &ShareRegistry::ended, this,
            [this](const QString &, const QString &reason) { emit notice(reason); });
    connect(m_registry.get(), &ShareRegistry::changed, this, &SharedFiles::stopWhenIdle);
    // The drop points' store is opened only on a file the shares could use; its own failure is told
    // by the registry's start().
    if (kept)
        m_dropStore.open(databasePath, chatPort);
    m_dropPoints = std::make_unique<DropPointRegistry>(kept ? &m_dropStore : nullptr, m_dropTable,
                                                       m_scheduler, wallClock);
    connect(m_dropPoints.get(), &DropPointRegistry::problem, this, &SharedFiles::notice);
    connect(m_dropPoints.get(), &DropPointRegistry::changed, this, [this] {
        serveIfNeeded();
        stopWhenIdle();
    });
    m_server = std::make_unique<ShareServer>(m_table, wallClock, m_scheduler);
    m_server->setDropPoints(&m_dropTable);
    connect(m_server.get(), &ShareServer::uploadReceived, m_dropPoints.get(), &DropPointRegistry::receive);
    connect(m_server.get(), &ShareServer::uploadFailed, m_dropPoints.get(), &DropPointRegistry::fail);
    connect(m_server.get(), &ShareServer::uploadPartCreated, m_dropPoints.get(),
            &DropPointRegistry::partCreated);
    connect(m_server.get(), &ShareServer::uploadPartGone, m_dropPoints.get(), &DropPointRegistry::partGone);
    connect(m_server.get(), &ShareServer::uploadResumableSaved, m_dropPoints.get(),
            &DropPointRegistry::resumableSaved);
    connect(m_server.get(), &ShareServer::uploadResumableGone, m_dropPoints.get(),
            &DropPointRegistry::resumableGone);
    connect(m_server.get(), &ShareServer::fileChanged, m_registry.get(), &ShareRegistry::fileChanged);
    connect(m_server.get(), &ShareServer::downloadFinished, this, [this](const QString &code) {
        m_registry->setDownloadCounts({{code, m_server->finishedCount(code)}});
    });
    if (!shareProblem.isEmpty()) {
        // One line for both stores: they fail together, on the same file.
        emit notice(shareProblem +
                    QStringLiteral("\n共有とダウンロードはこのまま使えますが、記録されないので、"
                                   "プログラムを終えると消えます。"));
    }
    m_registry->start();
    m_dropPoints->start();

    if (kept) {
        m_downloadStore = std::make_unique<DownloadStore>(databasePath, chatPort);
        if (!m_downloadStore->problem().isEmpty())
            emit notice(m_downloadStore->problem());
    }
    const auto network = [this]() -> QNetworkAccessManager & {
        if (!m_network)
            m_network = std::make_unique<QNetworkAccessManager>();
        return *m_network;
    };
    m_transfers = std::make_unique<Transfers>(m_downloadStore.get(), network, m_scheduler, wallClock);

    m_sharingView->follow(*m_registry, *m_dropPoints);
    m_downloadsView->follow(*m_transfers);
    // A share kept from an earlier run is served at once; with none, the server waits for one. Links
    // to shares that ended while the program was not running are answered as ended for a while
    // (nothing to tell when no port is free: nothing was shared in this run).
    serveIfNeeded();
    if (!m_listening && m_table.hasEndings() && !listen())
        stopWhenIdle();
    m_transfers->resumeAll();
}

bool SharedFiles::somethingToServe() const
{
    return (m_registry && m_registry->count() > 0) || (m_dropPoints && m_dropPoints->count() > 0);
}

void SharedFiles::serveIfNeeded()
{
    if (!m_listening && somethingToServe())
        tellFailure(listen());
}

void SharedFiles::tellFailure(const std::optional<QString> &failure)
{
    // Without an address of the LAN there is nothing to serve on, and nothing new to tell.
    if (failure && QHostAddress(m_address).protocol() == QAbstractSocket::IPv4Protocol)
        emit notice(*failure);
}

void SharedFiles::stopWhenIdle()
{
    if (!m_listening || somethingToServe())
        m_idleTimer->stop();
    else if (!m_idleTimer->isActive())
        m_idleTimer->start(endingsToldMs);
}

void SharedFiles::idle()
{
    if (!m_listening || somethingToServe())
        return;
    if (!m_server->running().isEmpty())
        m_idleTimer->start(drainCheckMs);
    else
        stopServing();
}

void SharedFiles::follow(const QString &address)
{
    if (!m_server) {
        m_address = address;
        return;
    }
    if (address == m_address)
        return;
    m_address = address;
    stopServing();
    serveIfNeeded();
}

std::optional<QString> SharedFiles::listen()
{
    stopServing();
    const QHostAddress host(m_address);
    if (host.protocol() != QAbstractSocket::IPv4Protocol) {
        return QStringLiteral("共有のサーバーを始められません: この機械に LAN のアドレスがありません"
                              "（ネットワークの接続を確かめてください）。");
    }
    QList<quint16> ports;
    if (const auto preferred = m_registry->preferredPort())
        ports.append(*preferred);
    for (quint16 port = ShareRegistry::firstPort; port <= ShareRegistry::lastPort; ++port) {
        if (!ports.contains(port))
            ports.append(port);
    }
    QString failure;
    for (const quint16 port : ports) {
        const auto error = m_server->listen(host, port);
        if (!error) {
            m_listening = true;
            if (m_registry->preferredPort() != port)
                m_registry->rememberPort(port);
            return std::nullopt;
        }
        failure = *error;
    }
    return QStringLiteral("ファイル共有を始められません: TCP %1–%2 のどれでも待ち受けられません（%3）。"
                          "ほかのプログラムが使っていないか確かめてください。")
        .arg(ShareRegistry::firstPort)
        .arg(ShareRegistry::lastPort)
        .arg(failure);
}

void SharedFiles::stopServing()
{
    m_idleTimer->stop();
    m_server->close();
    m_listening = false;
}

void SharedFiles::finish()
{
    if (!m_registry)
        return;
    m_registry->stopAll();
    m_dropPoints->stopAll();
    stopServing();
}
