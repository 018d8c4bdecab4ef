#include "history.h"

#include "base/scheduler.h"
#include "historylocation.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QMutexLocker>
#include <QThread>
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
        m_seenDataVersion = m_writer.dataVersion();
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
    if (!m_settings.saving)
        dropQueue();
    scheduleWrite();
    m_pruneTimer = m_scheduler.createTimer(Timer::Repeating, Qt::VeryCoarseTimer);
    connect(m_pruneTimer.get(), &Timer::timeout, this, &History::prune);
    m_pruneTimer->start(m_options.pruneIntervalMs);
    m_settingsTimer = m_scheduler.createTimer(Timer::Repeating, Qt::VeryCoarseTimer);
    connect(m_settingsTimer.get(), &Timer::timeout, this, &History::checkSettings);
    m_settingsTimer->start(m_options.settingsCheckMs);
    prune();
    emit ready();
}

void History::goOff(HistoryProblem problem, const QString &detail)
{
    if (m_state == State::Off)
        return;
    m_state = State::Off;
    m_pruneTimer.reset();
    m_settingsTimer.reset();
    dropQueue();
    if (m_toldOff)
        return;
    m_toldOff = true;
    QString reason = problemText(problem);
    if (problem == HistoryProblem::Failed && !detail.isEmpty())
        reason += QStringLiteral("（%1）").arg(detail);
    emit unavailable(QStringLiteral("履歴は保存されません: %1: %2").arg(reason, m_path));
}

void History::dropQueue()
{
    QMutexLocker locker(&m_queueMutex);
    m_queue.clear();
    m_queueCharacters = 0;
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
    // batches grow, and a lone line is written at once. Once nothing waits, the index catches up
    // with what a burst left, a piece at a time, so that new lines never wait behind it.
    for (;;) {
        HistoryLines batch;
        qint64 notKept = 0;
        {
            QMutexLocker locker(&m_queueMutex);
            if (!m_queue.isEmpty()) {
                batch.swap(m_queue);
                m_queueCharacters = 0;
            } else {
                notKept = std::exchange(m_notKept, 0);
            }
        }
        if (!batch.isEmpty()) {
            if (!storeBatch(batch))
                return;
            continue;
        }
        if (notKept > 0) {
            // The gap is kept too, so that the history itself says that lines are missing.
            const QString text = QStringLiteral("履歴に残せなかった行があります: %1 行").arg(notKept);
            const QDateTime now = QDateTime::currentDateTime();
            HistoryLine gap;
            gap.kind = HistoryLine::Kind::Gap;
            gap.timeMs = now.toMSecsSinceEpoch();
            gap.utcOffset = now.offsetFromUtc();
            gap.text = text;
            if (!storeBatch({gap}))
                return;
            deliver([this, text] { emit notice(text); });
            continue;
        }
        if (!m_closing && m_writer.indexStep(2000) > 0)
            continue;
        m_writer.trimJournal();
        QMutexLocker locker(&m_queueMutex);
        if (m_queue.isEmpty() && m_notKept == 0) {
            m_writing = false;
            return;
        }
    }
}

// Stores one batch, and says so with stored(); false when the history went off. A batch that
// arrives after another instance turned saving off is dropped as if it had been off here.
bool History::storeBatch(const HistoryLines &batch)
{
    bool waitingTold = false;
    for (;;) {
        const HistoryStore::Inserted inserted = m_writer.insertWhileSaving(batch);
        if (inserted == HistoryStore::Inserted::SavingOff) {
            noticeSettings(true);
            return true;
        }
        bool written = inserted == HistoryStore::Inserted::Stored;
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
        if (written) {
            noticeSettings(false);
            deliver([this] { emit stored(); });
            return true;
        }
        // Another instance (or program) holds the write lock, for a clear, say: the batch is kept
        // and tried again, while new lines wait in the bounded queue. Only the program's end stops it.
        if (m_writer.problem() == HistoryProblem::Locked && !m_closing) {
            if (!waitingTold) {
                waitingTold = true;
                deliver([this] {
                    emit notice(
                        QStringLiteral(
                            "履歴のファイルをほかのプログラムが使っているので、空くのを待っています: %1")
                            .arg(m_path));
                });
            }
            QThread::msleep(50);
            continue;
        }
        {
            QMutexLocker locker(&m_queueMutex);
            m_queue.clear();
            m_queueCharacters = 0;
            m_writing = false;
        }
        deliver([this, problem = m_writer.problem(), detail = m_writer.detail()] { goOff(problem, detail); });
        return false;
    }
}

void History::storeWaiting()
{
    HistoryLines batch;
    {
        QMutexLocker locker(&m_queueMutex);
        if (m_queue.isEmpty())
            return;
        batch.swap(m_queue);
        m_queueCharacters = 0;
    }
    storeBatch(batch);
}

void History::setSaving(bool on)
{
    m_settings.saving = on;
    if (!on)
        dropQueue();
    changeSetting([on](HistoryStore &store) { return store.setSaving(on); });
}

void History::setKeepMonths(int months)
{
    const bool shorterKeep = months != 0 && (m_settings.keepMonths == 0 || months < m_settings.keepMonths);
    m_settings.keepMonths = months;
    changeSetting([months](HistoryStore &store) { return store.setKeepMonths(months); });
    if (shorterKeep)
        prune();
}

void History::changeSetting(std::function<bool(HistoryStore &)> write)
{
    emit settingsChanged();
    if (m_state != State::Ready)
        return;
    const quint64 generation = ++m_settingsGeneration;
    m_writerPool.start([this, generation, write = std::move(write)] {
        if (!write(m_writer)) {
            deliver(
                [this, problem = m_writer.problem(), detail = m_writer.detail()] { goOff(problem, detail); });
            return;
        }
        m_settingsWritten = generation;
        // With it comes what another instance changed in the other field meanwhile.
        noticeSettings(true);
    });
}

void History::checkSettings()
{
    if (m_state != State::Ready)
        return;
    m_writerPool.start([this] { noticeSettings(false); });
}

void History::noticeSettings(bool always)
{
    // SQLite counts the commits of other connections: unchanged, nobody else wrote.
    const qint64 version = m_writer.dataVersion();
    if (!always && (version < 0 || version == m_seenDataVersion))
        return;
    const std::optional<HistorySettings> settings = m_writer.readSettings();
    if (!settings)
        return;
    m_seenDataVersion = version;
    deliver([this, generation = m_settingsWritten, settings = *settings] {
        adoptSettings(generation, settings);
    });
}

void History::adoptSettings(quint64 generation, const HistorySettings &settings)
{
    // Read before the latest choice made here was written: that write brings the file's state back.
    if (generation != m_settingsGeneration || m_state != State::Ready || settings == m_settings)
        return;
    m_settings = settings;
    if (!m_settings.saving)
        dropQueue();
    emit settingsChanged();
}

void History::prune()
{
    if (m_state != State::Ready)
        return;
    const int keepMonths = m_settings.keepMonths;
    const QDateTime now = QDateTime::currentDateTime();
    m_writerPool.start([this, keepMonths, now] { maintain(keepMonths, now); });
}

void History::maintain(int keepMonths, const QDateTime &now)
{
    if (m_closing)
        return;
    yieldToTheWindow();
    const HistoryStore::Between between = [this] { storeWaiting(); };
    m_writer.pruneByAge(keepMonths, now, between);
    if (keepMonths > 0)
        m_writer.removeSetAsideCopies(now.addMonths(-keepMonths));
    m_writer.pruneToBudget(m_options.budgetBytes, between);
    // An older file is brought up to date a piece at a time, the lines that arrive stored between.
    while (!m_closing && m_writer.hasBackgroundWork()) {
        if (!m_writer.backgroundStep(between))
            break;
        storeWaiting();
    }
    deliver([this] { emit maintained(); });
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

quint64 History::requestView(View view,
                             std::function<HistoryLines(HistoryStore &, const std::function<bool()> &)> query)
{
    const quint64 request = ++m_lastRequest;
    m_viewRequest[view] = request;
    if (m_state != State::Ready) {
        deliver([this, request] { emit linesFound(request, {}); });
        return request;
    }
    m_readerPool.start([this, view, request, query = std::move(query)] {
        const auto cancelled = [this, view, request] {
            return m_closing.load() || m_viewRequest[view].load() != request;
        };
        if (cancelled())
            return;
        yieldToTheWindow();
        HistoryStore *store = reader();
        HistoryLines lines = store ? query(*store, cancelled) : HistoryLines{};
        if (cancelled())
            return;
        deliver([this, view, request, lines = std::move(lines)] {
            if (m_viewRequest[view].load() == request)
                emit linesFound(request, lines);
        });
    });
    return request;
}

void History::cancelViews()
{
    for (std::atomic<quint64> &request : m_viewRequest)
        request = ++m_lastRequest;
}

quint64 History::requestNewest(int limit, qint64 beforeId)
{
    return requestView(ListView, [limit, beforeId](HistoryStore &store, const std::function<bool()> &) {
        return store.newest(limit, beforeId);
    });
}

quint64 History::requestSearch(const QString &query, int limit, qint64 beforeId)
{
    return requestView(ListView,
                       [query, limit, beforeId](HistoryStore &store, const std::function<bool()> &cancelled) {
                           return store.search(query, limit, beforeId, cancelled);
                       });
}

quint64 History::requestAround(qint64 id, int each)
{
    return requestView(ContextView, [id, each](HistoryStore &store, const std::function<bool()> &) {
        return store.around(id, each);
    });
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
    cancelViews();
    m_writerPool.start([this] {
        const HistoryStore::ClearResult result = m_writer.clear([this] { storeWaiting(); });
        deliver([this, result] {
            emit cleared(result != HistoryStore::ClearResult::Failed);
            if (result == HistoryStore::ClearResult::Pending) {
                emit notice(
                    QStringLiteral("履歴の行は消しましたが、ほかのプログラムがファイルを読んでいるため、"
                                   "ファイルからはまだ消えていません。読み終わりしだい消します: %1")
                        .arg(m_path));
                finishClearLater();
            }
        });
    });
}

void History::finishClearLater()
{
    if (!m_clearTimer) {
        m_clearTimer = m_scheduler.createTimer(Timer::Repeating, Qt::CoarseTimer);
        connect(m_clearTimer.get(), &Timer::timeout, this, [this] {
            if (m_state != State::Ready)
                return;
            m_writerPool.start([this] {
                if (!m_writer.finishClear())
                    return;
                deliver([this] {
                    if (!m_clearTimer)
                        return;
                    m_clearTimer.reset();
                    emit notice(QStringLiteral("履歴の消去が終わりました"));
                });
            });
        });
    }
    m_clearTimer->start(10000);
}
