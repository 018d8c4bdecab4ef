#pragma once

#include "historyexport.h"
#include "historyline.h"
#include "historystore.h"

#include <QMutex>
#include <QObject>
#include <QThreadPool>
#include <array>
#include <atomic>
#include <memory>

class Scheduler;
class Timer;

// The history of one instance: lines are handed in on the window's thread and stored on a worker
// thread of their own in batched transactions; searches run on another worker and are cancelled by
// the next request for the same view. Nothing here ever makes the caller wait for the disk, a lock
// or a search.
class History : public QObject
{
    Q_OBJECT

public:
    struct Options
    {
        qint64 budgetBytes = qint64(1) << 30; // the oldest lines go first beyond this
        int busyTimeoutMs = 5000;             // longer than this locked, and the history is off
        // The writer's page cache. It mostly appends: SQLite's own bound (2,000 KiB) fills up as the
        // lines come in, without storing them faster than this one (bench_history --cache-kib).
        int writerCacheKiB = 512;
        // What waits for the disk; beyond this, lines are counted as not kept. The writer gives way
        // to the window, and on a busy machine it waited up to 1.7 s for a CPU during a flood:
        // 2.5 s of 20,000 lines a second fit. A short line costs some 330 bytes here, and the batch
        // being written is held too: a flood costs at most some 35 MB, long lines bounded by
        // their characters.
        int queueLines = 50000;
        qsizetype queueCharacters = 4 * 1024 * 1024;
        int pruneIntervalMs = 60 * 60 * 1000;
        // How often the file is looked at for settings another instance sharing it has changed.
        int settingsCheckMs = 5000;
        // At the program's end, how long storing what is queued (and an opening still running)
        // may hold it: 2 s store a full queue (about 27,000 lines a CPU second); a file another
        // program keeps locked costs the end no more than this. Only a write the disk itself
        // stalls is waited for to its end.
        int endWaitMs = 2000;
    };

    enum class State { Closed, Opening, Ready, Off };

    History(Scheduler &scheduler, Options options, QObject *parent = nullptr);
    explicit History(Scheduler &scheduler, QObject *parent = nullptr);
    // finish(), then the workers are gone.
    ~History() override;

    // Stores what was handed in so far, an opening still running first, and waits for the workers
    // at most about Options::endWaitMs; what still waits for a lock then gives up (its lines are
    // not kept, which a warning says), and an export still running is left unwritten. Blocks the
    // caller: for the program's end, which may skip every destructor.
    void finish();

    // Opens (or creates) the file on the worker; ready() or unavailable() follows.
    void open(const QString &path);
    State state() const { return m_state; }
    QString path() const { return m_path; }
    HistorySettings settings() const { return m_settings; }

    // Queued for the writer, unless saving is off or the history cannot be used. A batch is
    // stored only if saving is still on in the file when it is written.
    void add(const HistoryLine &line);
    // Each writes its own field only: another instance's choice of the other one stays.
    void setSaving(bool on);
    void setKeepMonths(int months);
    // Looks for settings changed by another instance (also done every settingsCheckMs);
    // settingsChanged() follows when they differ.
    void checkSettings();

    // Each answers with linesFound(request, ...) unless a later request for the same view came
    // first: newest() and search() for the list, around() for the lines around a chosen one. Lines
    // come newest first, except around(), which gives them as they came.
    quint64 requestNewest(int limit, qint64 beforeId = 0);
    quint64 requestSearch(const QString &query, int limit, qint64 beforeId = 0);
    quint64 requestAround(qint64 id, int each);

    // Answer with exported(error), error empty on success.
    void exportAll(const QString &path, HistoryExport::Format format);
    void exportLines(const QString &path, HistoryExport::Format format, const HistoryLines &lines);
    // Deletes every line and the damaged copies set aside; answers with cleared(ok). When a reader
    // still holds the journal, a notice says so and the clear is finished once it has let go.
    void clear();
    // Removes what the keep period and the budget no longer allow (also done once an hour).
    void prune();

    // The chat log's words for what happened to the history.
    static QString problemText(HistoryProblem problem);

signals:
    void ready();
    // settings() changed: chosen here or anywhere else.
    void settingsChanged();
    // The history cannot be used; told once, as a line for the chat log.
    void unavailable(const QString &logLine);
    // Something the user should know that does not stop the history, as a line for the chat log.
    void notice(const QString &logLine);
    void linesFound(quint64 request, const HistoryLines &lines);
    void stored();     // after each batch
    void maintained(); // after a round of pruning and background work
    void exported(const QString &error);
    void cleared(bool ok);

private:
    void opened(const HistoryStore::OpenResult &result, const HistorySettings &settings);
    void writeQueued();                         // on the writer
    bool storeBatch(const HistoryLines &batch); // on the writer; false: the history went off
    void storeWaiting();                        // on the writer, between the pieces of a long task
    void storeAtTheEnd();                       // on the writer
    void scheduleWrite();
    void maintain(int keepMonths, const QDateTime &now); // on the writer
    void finishClearLater();
    void goOff(HistoryProblem problem, const QString &detail);
    void dropQueue();
    void changeSetting(std::function<bool(HistoryStore &)> write);
    void noticeSettings(bool always); // on the writer
    void adoptSettings(quint64 generation, const HistorySettings &settings);
    enum View { ListView, ContextView, Views };
    quint64 requestView(View view,
                        std::function<HistoryLines(HistoryStore &, const std::function<bool()> &)> query);
    void cancelViews();
    HistoryStore *reader(); // on the reader
    void deliver(std::function<void()> onWindowThread);

    Scheduler &m_scheduler;
    Options m_options;
    // Used only on the writer's and the reader's thread respectively; declared before the pools so
    // that the pools end (and wait) first.
    HistoryStore m_writer;
    HistoryStore m_reader;
    std::atomic<bool> m_readerStale{true};
    std::atomic<quint64> m_lastRequest{0};                   // numbers requests of every view
    std::array<std::atomic<quint64>, Views> m_viewRequest{}; // the one each view waits for
    std::atomic<bool> m_closing{false};
    // The writer's: the last of the settings chosen here that is in the file, and SQLite's count of
    // other connections' commits when the file's settings were last read.
    quint64 m_settingsWritten = 0;
    qint64 m_seenDataVersion = -1;
    std::atomic<bool> m_abandoned{false}; // finish() waited long enough: what runs gives up

    QMutex m_queueMutex;
    HistoryLines m_queue;
    qsizetype m_queueCharacters = 0;
    bool m_writing = false;
    qint64 m_notKept = 0;

    // The window's thread only.
    State m_state = State::Closed;
    QString m_path;
    HistorySettings m_settings;
    std::unique_ptr<Timer> m_pruneTimer;
    std::unique_ptr<Timer> m_clearTimer; // while a clear waits for a reader to let go
    std::unique_ptr<Timer> m_settingsTimer;
    quint64 m_settingsGeneration = 0; // counts the settings chosen here
    bool m_toldOff = false;

    // One thread each: batches are stored in order, and a search never waits behind a batch.
    QThreadPool m_writerPool;
    QThreadPool m_readerPool;
};
