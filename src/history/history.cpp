#include "history.h"

#include "base/scheduler.h"
#include "historylocation.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QMutexLocker>
#include <sys/resource.h>
#include <unistd.h>

namespace {

// The workers give way to the window's thread: under a flood the typed line still leaves at once.
void yieldToTheWindow()
{
    thread_local const bool lowered = ::setpriority(PRIO_PROCESS, ::gettid(), 10) == 0;
    Q_UNUSED(lowered);
}

} // namespace

History::History(Scheduler &scheduler, Options options, QObject *parent)
    : QObject(parent), m_scheduler(scheduler), m_options(options),
      m_writer(HistoryStore::Options{options.busyTimeoutMs, options.writerCacheKiB}),
      m_reader(HistoryStore::Options{options.busyTimeoutMs})
{
    qRegisterMetaType<HistoryLines>();
    m_writerPool.setMaxThreadCount(1);
    m_readerPool.setMaxThreadCount(1);
}

History::History(Scheduler &scheduler, QObject *parent) : History(scheduler, Options{}, parent) {}

History::~History()
{
    finish();
}

void History::finish()
{
    m_closing = true;
    ++m_viewRequest; // a search still running ends now
    if (m_state == State::Opening || m_state == State::Ready) {
        bool start = false;
        {
            QMutexLocker locker(&m_queueMutex);
            // A writer at work stores what came meanwhile too.
            if (!m_writing && !m_queue.isEmpty())
                start = m_writing = true;
        }
        // Behind the opening when it still runs: its answer would come through the event loop,
        // which does not run again.
        if (start)
            m_writerPool.start([this] { storeAtTheEnd(); });
    }
    const QDeadlineTimer deadline(m_options.endWaitMs);
    if (m_writerPool.waitForDone(int(deadline.remainingTime())) &&
        m_readerPool.waitForDone(int(deadline.remainingTime())))
        return;
    m_abandoned = true;
    m_writer.abandon();
    m_reader.abandon();
    m_writerPool.waitForDone();
    m_readerPool.waitForDone();
    qWarning("履歴: %d ミリ秒待っても保存を終えられませんでした。最後の行が %s に残っていないことがあります",
             m_options.endWaitMs, qPrintable(m_path));
}

void History::storeAtTheEnd()
{
    // The file's own choice counts, also when its opening was never answered on the window's thread.
    if (m_writer.isOpen() && m_writer.settings().saving) {
        writeQueued();
        return;
    }
    QMutexLocker locker(&m_queueMutex);
    m_queue.clear();
    m_queueCharacters = 0;
    m_writing = false;
}

QString History::problemText(HistoryProblem problem)
{
    switch (problem) {
    case HistoryProblem::None: return {};
    case HistoryProblem::FolderNotWritable: return QStringLiteral("ファイルまたはフォルダーに書き込めません");
    case HistoryProblem::DiskFull: return QStringLiteral("ディスクがいっぱいです");
    case HistoryProblem::Locked: return QStringLiteral("ほかのプログラムがファイルを使ったままです");
    case HistoryProblem::NotADatabase:
        return QStringLiteral("同じ名前のファイルが履歴のファイルではありません");
    case HistoryProblem::NewerSchema: return QStringLiteral("新しい版のプログラムが作ったファイルです");
    case HistoryProblem::Damaged: return QStringLiteral("壊れたファイルを別の名前にできません");
    case HistoryProblem::Failed: break;
    }
    return QStringLiteral("ファイルを使えません");
}

void History::deliver(std::function<void()> onWindowThread)
{
    QMetaObject::invokeMethod(this, std::move(onWindowThread), Qt::QueuedConnection);
}

void History::open(const QString &path)
{
    if (m_state != State::Closed)
        return;
    m_state = State::Opening;
    m_path = path;
    m_writerPool.start([this, path, dataHome = HistoryLocation::systemDataHome()] {
        HistoryStore::OpenResult result;
        if (const QString error = HistoryLocation::prepareFolder(path, dataHome); !error.isEmpty())
            result = {HistoryProblem::FolderNotWritable, error, {}};
        else
            result = m_writer.open(path);
        const HistorySettings settings =
            result.problem == HistoryProblem::None ? m_writer.settings() : HistorySettings{};
        deliver([this, result, settings] { opened(result, settings); });
    });
}

void History::opened(const HistoryStore::OpenResult &result, const HistorySettings &settings)
{
    if (result.problem != HistoryProblem::None) {
        goOff(result.problem, result.detail);
        return;
    }
    m_state = State::Ready;
    m_settings = settings;
    if (!result.setAsidePath.isEmpty()) {
        emit notice(QStringLiteral("履歴のファイルが壊れていたので %1 として残し、新しく始めました")
                        .arg(result.setAsidePath));
    }
    if (!m_settings.saving) {
        QMutexLocker locker(&m_queueMutex);
        m_queue.clear();
        m_queueCharacters = 0;
    }
    scheduleWrite();
    m_pruneTimer = m_scheduler.createTimer(Timer::Repeating, Qt::VeryCoarseTimer);
    connect(m_pruneTimer.get(), &Timer::timeout, this, &History::prune);
    m_pruneTimer->start(m_options.pruneIntervalMs);
    prune();
    emit ready();
}

void History::goOff(HistoryProblem problem, const QString &detail)
{
    if (m_state == State::Off)
        return;
    m_state = State::Off;
    m_pruneTimer.reset();
    {
        QMutexLocker locker(&m_queueMutex);
        m_queue.clear();
        m_queueCharacters = 0;
    }
    if (m_toldOff)
        return;
    m_toldOff = true;
    QString reason = problemText(problem);
    if (problem == HistoryProblem::Failed && !detail.isEmpty())
        reason += QStringLiteral("（%1）").arg(detail);
    emit unavailable(QStringLiteral("履歴は保存されません: %1: %2").arg(reason, m_path));
}

void History::add(const HistoryLine &line)
{
    if (m_state == State::Off || m_state == State::Closed || !m_settings.saving)
        return;
    const qsizetype characters =
        line.name.size() + line.address.size() + line.text.size() + line.recipients.size();
    {
        QMutexLocker locker(&m_queueMutex);
        if (m_queue.size() >= m_options.queueLines ||
            m_queueCharacters + characters > m_options.queueCharacters) {
            ++m_notKept;
            return;
        }
        m_queue.append(line);
        m_queueCharacters += characters;
    }
    if (m_state == State::Ready)
        scheduleWrite();
}

void History::scheduleWrite()
{
    if (m_state != State::Ready)
        return;
    {
        QMutexLocker locker(&m_queueMutex);
        if (m_writing || m_queue.isEmpty())
            return;
        m_writing = true;
    }
    m_writerPool.start([this] { writeQueued(); });
}

void History::writeQueued()
{
    yieldToTheWindow();
    // Whatever arrived while the previous batch was written is the next batch: under load the
    // batches grow, and a lone line is written at once.
    for (;;) {
        HistoryLines batch;
        qint64 notKept = 0;
        {
            QMutexLocker locker(&m_queueMutex);
            if (m_queue.isEmpty()) {
                m_writing = false;
                notKept = std::exchange(m_notKept, 0);
            } else {
                batch.swap(m_queue);
                m_queueCharacters = 0;
            }
        }
        if (batch.isEmpty()) {
            if (notKept > 0) {
                deliver([this, notKept] {
                    emit notice(QStringLiteral("履歴に残せなかった行があります: %1 行").arg(notKept));
                });
            }
            return;
        }
        bool written = m_writer.insert(batch);
        if (!written && m_writer.lastWasCorrupt()) {
            const HistoryStore::OpenResult again = m_writer.startAgain();
            m_readerStale = true;
            written = again.problem == HistoryProblem::None && m_writer.insert(batch);
            if (!again.setAsidePath.isEmpty()) {
                deliver([this, aside = again.setAsidePath] {
                    emit notice(
                        QStringLiteral("履歴のファイルが壊れていたので %1 として残し、新しく始めました")
                            .arg(aside));
                });
            }
        }
        if (!written) {
            {
                QMutexLocker locker(&m_queueMutex);
                m_queue.clear();
                m_queueCharacters = 0;
                m_writing = false;
            }
            deliver(
                [this, problem = m_writer.problem(), detail = m_writer.detail()] { goOff(problem, detail); });
            return;
        }
        deliver([this] { emit stored(); });
    }
}

void History::setSettings(const HistorySettings &settings)
{
    const bool shorterKeep = settings.keepMonths != 0 &&
                             (m_settings.keepMonths == 0 || settings.keepMonths < m_settings.keepMonths);
    m_settings = settings;
    emit settingsChanged();
    if (!settings.saving) {
        QMutexLocker locker(&m_queueMutex);
        m_queue.clear();
        m_queueCharacters = 0;
    }
    if (m_state != State::Ready)
        return;
    m_writerPool.start([this, settings] {
        if (!m_writer.setSettings(settings))
            deliver(
                [this, problem = m_writer.problem(), detail = m_writer.detail()] { goOff(problem, detail); });
    });
    if (shorterKeep)
        prune();
}

void History::prune()
{
    if (m_state != State::Ready)
        return;
    const qint64 cutoff =
        m_settings.keepMonths > 0
            ? QDateTime::currentDateTime().addMonths(-m_settings.keepMonths).toMSecsSinceEpoch()
            : 0;
    m_writerPool.start([this, cutoff] { pruneStep(cutoff); });
}

void History::pruneStep(qint64 cutoffMs)
{
    if (m_closing)
        return;
    // In pieces, each queued behind the batches that arrived meanwhile.
    constexpr qint64 piece = 5000;
    const qint64 removed = m_writer.prune(cutoffMs, m_options.budgetBytes, piece);
    if (removed >= piece)
        m_writerPool.start([this, cutoffMs] { pruneStep(cutoffMs); });
}

HistoryStore *History::reader()
{
    if (m_readerStale.exchange(false) || !m_reader.isOpen()) {
        if (m_reader.open(m_path, false).problem != HistoryProblem::None) {
            m_readerStale = true;
            return nullptr;
        }
    }
    return &m_reader;
}

quint64 History::requestView(std::function<HistoryLines(HistoryStore &, const std::function<bool()> &)> query)
{
    const quint64 request = ++m_viewRequest;
    if (m_state != State::Ready) {
        deliver([this, request] { emit linesFound(request, {}); });
        return request;
    }
    m_readerPool.start([this, request, query = std::move(query)] {
        const auto cancelled = [this, request] { return m_viewRequest.load() != request; };
        if (cancelled())
            return;
        yieldToTheWindow();
        HistoryStore *store = reader();
        HistoryLines lines = store ? query(*store, cancelled) : HistoryLines{};
        if (cancelled())
            return;
        deliver([this, request, lines = std::move(lines)] {
            if (m_viewRequest.load() == request)
                emit linesFound(request, lines);
        });
    });
    return request;
}

quint64 History::requestNewest(int limit, qint64 beforeId)
{
    return requestView([limit, beforeId](HistoryStore &store, const std::function<bool()> &) {
        return store.newest(limit, beforeId);
    });
}

quint64 History::requestSearch(const QString &query, int limit, qint64 beforeId)
{
    return requestView([query, limit, beforeId](HistoryStore &store, const std::function<bool()> &cancelled) {
        return store.search(query, limit, beforeId, cancelled);
    });
}

quint64 History::requestAround(qint64 id, int each)
{
    return requestView(
        [id, each](HistoryStore &store, const std::function<bool()> &) { return store.around(id, each); });
}

void History::exportAll(const QString &path, HistoryExport::Format format)
{
    if (m_state != State::Ready) {
        deliver([this] { emit exported(QStringLiteral("履歴を使えません")); });
        return;
    }
    m_readerPool.start([this, path, format] {
        HistoryStore *store = reader();
        // Given up at the program's end: the file stays as it was.
        const auto lines = [this, store](const std::function<bool(const HistoryLine &)> &visit) {
            bool stopped = false;
            const bool read = store->forEach([&](const HistoryLine &line) {
                stopped = m_abandoned;
                return !stopped && visit(line);
            });
            return read && !stopped;
        };
        const QString error =
            store ? HistoryExport::writeFile(path, format, lines) : QStringLiteral("履歴を使えません");
        deliver([this, error] { emit exported(error); });
    });
}

void History::exportLines(const QString &path, HistoryExport::Format format, const HistoryLines &lines)
{
    m_readerPool.start([this, path, format, lines] {
        const QString error = HistoryExport::writeFile(
            path, format, [&lines](const std::function<bool(const HistoryLine &)> &visit) {
                for (const HistoryLine &line : lines) {
                    if (!visit(line))
                        break;
                }
                return true;
            });
        deliver([this, error] { emit exported(error); });
    });
}

void History::clear()
{
    if (m_state != State::Ready) {
        deliver([this] { emit cleared(false); });
        return;
    }
    ++m_viewRequest;
    m_writerPool.start([this] {
        const bool ok = m_writer.clear();
        deliver([this, ok] { emit cleared(ok); });
    });
}
