// One real instance (Module1 with the real UDP network, window on the offscreen platform) under a
// flood from another host. Refuses to run outside a bench network namespace (see support/netnsguard.h).
// Run by bench_flood.sh.
//
//   bench_flood_receiver --mode chat  [--seconds 60] [--user-lines-at 10,30,50] [--rss-step 10]
//                                     [--history FILE] [--history-settle 3]
//   bench_flood_receiver --mode joins [--expect-joins 10000]
//   common: [--sender benchB] [--lead 2] [--idle 5] [--timeout 300]
//
// Prints "ready ... flood-start-ns NS": the sender is to start at that CLOCK_MONOTONIC time.
//
// chat: a thread samples VmRSS every 100 ms; another one, at the --user-lines-at offsets into the
// flood, records the time and posts a typed text "userline N" and a Return key press to the input
// line, as a user would type them (the program sends the line to the broadcast address). Every tick
// of the title marquee is timed. Ends --idle seconds after the last flood line was shown, once the
// flood is over, and once the history has stored and indexed everything: its file (beside set.txt
// in the program folder, a copy of --history FILE when given) is sampled every 100 ms from a
// connection of its own (newest id, how far indexed, the journal's size), and read at the end to
// find every flood line the log showed.
// joins: times the appearance of the chat line "after joins" that the sender sends after its joins
// and counts the joins listed. Ends when that line was shown and every join listed, or --idle
// seconds after the log last grew.
// Times are CLOCK_MONOTONIC, shared by every namespace of the kernel.

#include "benchinstance.h"
#include "benchmain.h"
#include "clocks.h"
#include "history/history.h"
#include "historysampler.h"
#include "net/chatsession.h"
#include "net/datagram.h"
#include "net/entrylistmodel.h"
#include "processmemory.h"
#include "socketstats.h"
#include "threadtimes.h"
#include "ui/entrylistview.h"
#include "ui/form1.h"
#include "ui/titleindicator.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QKeyEvent>
#include <QLineEdit>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace {

using Bench::monotonicNs;

// A thread that sleeps until a time or until it is told to stop.
class StopFlag
{
public:
    // false once stopped.
    bool sleepUntil(long long ns)
    {
        std::unique_lock lock(m_mutex);
        while (!m_stopped) {
            const long long left = ns - monotonicNs();
            if (left <= 0)
                return true;
            m_wake.wait_for(lock, std::chrono::nanoseconds(left));
        }
        return false;
    }
    void stop()
    {
        {
            std::lock_guard lock(m_mutex);
            m_stopped = true;
        }
        m_wake.notify_all();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stopped = false;
};

struct RssSample
{
    long long ns;
    long long kib;
};

class RssSampler
{
public:
    explicit RssSampler(long long periodNs) : m_thread([this, periodNs] { run(periodNs); }) {}
    ~RssSampler() { stop(); }

    void stop()
    {
        m_stop.stop();
        if (m_thread.joinable())
            m_thread.join();
    }
    // After stop().
    const std::vector<RssSample> &samples() const { return m_samples; }

private:
    void run(long long periodNs)
    {
        m_samples.reserve(20000);
        long long next = monotonicNs();
        do {
            m_samples.push_back({monotonicNs(), Bench::rssKiB()});
            next += periodNs;
        } while (m_samples.size() < 20000 && m_stop.sleepUntil(next));
    }

    StopFlag m_stop;
    std::vector<RssSample> m_samples;
    std::thread m_thread;
};

// Times the paints of the chat log's viewport: whether the window still draws during a flood.
class PaintRecorder : public QObject
{
public:
    using QObject::QObject;
    std::vector<long long> paints;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Paint)
            paints.push_back(monotonicNs());
        return QObject::eventFilter(watched, event);
    }
};

// The user: types a line "userline N" and presses Return at each offset into the flood. Events are
// posted from a thread of its own, as the window system would queue them, whatever the window's
// thread is busy with. They are made here: a key event looks up the keyboard device, which must not
// be created on another thread. Those never posted are deleted at the end.
class User
{
public:
    User(QLineEdit *input, const QList<double> &offsets, long long floodStartNs)
        : postedNs(size_t(offsets.size()), 0)
    {
        for (int i = 0; i < offsets.size(); ++i) {
            m_keys.push_back({new QKeyEvent(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier,
                                            QStringLiteral("userline ") + QString::number(i + 1)),
                              new QKeyEvent(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier)});
        }
        m_thread = std::thread([this, input, offsets, floodStartNs] {
            for (size_t i = 0; i < m_keys.size(); ++i) {
                if (!m_stop.sleepUntil(floodStartNs + (long long)(offsets.at(qsizetype(i)) * 1e9)))
                    return;
                postedNs[i] = monotonicNs();
                QCoreApplication::postEvent(input, std::exchange(m_keys[i].first, nullptr));
                QCoreApplication::postEvent(input, std::exchange(m_keys[i].second, nullptr));
            }
        });
    }
    ~User()
    {
        m_stop.stop();
        m_thread.join();
        for (auto &[text, enter] : m_keys) {
            delete text;
            delete enter;
        }
    }

    std::vector<long long> postedNs;

private:
    std::vector<std::pair<QKeyEvent *, QKeyEvent *>> m_keys;
    StopFlag m_stop;
    std::thread m_thread;
};

double seconds(long long ns)
{
    return double(ns) / 1e9;
}

struct Settings
{
    bool chatMode = true;
    long long floodNs = 0;
    QList<double> userLineOffsets;
    double rssStep = 10;
    int expectJoins = 0;
    QString sender;
    long long leadNs = 0;
    long long idleNs = 0;
    long long timeoutNs = 0;
    QString historyFile;
    long long historySettleNs = 0;
};

std::optional<Settings> settingsFromCommandLine()
{
    QCommandLineParser parser;
    const QCommandLineOption modeOption(QStringLiteral("mode"), QStringLiteral("chat or joins."),
                                        QStringLiteral("mode"), QStringLiteral("chat"));
    const QCommandLineOption secondsOption(QStringLiteral("seconds"),
                                           QStringLiteral("chat: the flood's length."), QStringLiteral("s"),
                                           QStringLiteral("60"));
    const QCommandLineOption userLinesOption(
        QStringLiteral("user-lines-at"), QStringLiteral("chat: seconds into the flood to type a line at."),
        QStringLiteral("list"), QStringLiteral("10,30,50"));
    const QCommandLineOption rssStepOption(
        QStringLiteral("rss-step"), QStringLiteral("Seconds between the points of the printed RSS curve."),
        QStringLiteral("s"), QStringLiteral("10"));
    const QCommandLineOption expectJoinsOption(QStringLiteral("expect-joins"),
                                               QStringLiteral("joins: join notices the sender sends."),
                                               QStringLiteral("N"), QStringLiteral("10000"));
    const QCommandLineOption senderOption(QStringLiteral("sender"), QStringLiteral("The sender's name."),
                                          QStringLiteral("name"), QStringLiteral("benchB"));
    const QCommandLineOption leadOption(QStringLiteral("lead"),
                                        QStringLiteral("Seconds from ready to the start of the flood."),
                                        QStringLiteral("s"), QStringLiteral("2"));
    const QCommandLineOption idleOption(QStringLiteral("idle"),
                                        QStringLiteral("Seconds without growth of the log to end."),
                                        QStringLiteral("s"), QStringLiteral("5"));
    const QCommandLineOption timeoutOption(
        QStringLiteral("timeout"), QStringLiteral("Seconds after the flood's start to end at the latest."),
        QStringLiteral("s"), QStringLiteral("300"));
    const QCommandLineOption historyOption(
        QStringLiteral("history"),
        QStringLiteral("chat: a history file the instance starts with (a copy goes beside set.txt)."),
        QStringLiteral("file"));
    const QCommandLineOption historySettleOption(
        QStringLiteral("history-settle"),
        QStringLiteral("chat: seconds the history must stay fully stored and indexed before the end."),
        QStringLiteral("s"), QStringLiteral("3"));
    if (!Bench::parseCommandLine(parser,
                                 {modeOption, secondsOption, userLinesOption, rssStepOption,
                                  expectJoinsOption, senderOption, leadOption, idleOption, timeoutOption,
                                  historyOption, historySettleOption},
                                 Bench::Lan::Namespaces))
        return std::nullopt;
    Settings settings;
    settings.chatMode = parser.value(modeOption) == QLatin1String("chat");
    if (!settings.chatMode && parser.value(modeOption) != QLatin1String("joins")) {
        std::fprintf(stderr, "--mode must be chat or joins\n");
        return std::nullopt;
    }
    settings.floodNs = (long long)(parser.value(secondsOption).toDouble() * 1e9);
    if (settings.chatMode) {
        for (const QString &piece : parser.value(userLinesOption).split(QLatin1Char(','), Qt::SkipEmptyParts))
            settings.userLineOffsets.append(piece.toDouble());
    }
    settings.rssStep = std::max(0.1, parser.value(rssStepOption).toDouble());
    settings.expectJoins = parser.value(expectJoinsOption).toInt();
    settings.sender = parser.value(senderOption);
    settings.leadNs = (long long)(parser.value(leadOption).toDouble() * 1e9);
    settings.idleNs = (long long)(parser.value(idleOption).toDouble() * 1e9);
    settings.timeoutNs = (long long)(parser.value(timeoutOption).toDouble() * 1e9);
    settings.historyFile = parser.value(historyOption);
    settings.historySettleNs = (long long)(parser.value(historySettleOption).toDouble() * 1e9);
    return settings;
}

// What the chat log and the participant list show, seen row by row as rows go in (the log may
// also drop old rows), and when.
struct LogWatch
{
    LogWatch(ChatSession *session, const Settings &settings)
        : log(session->chatLog()), floodPrefix(settings.sender + QStringLiteral(">flood ")),
          markerPrefix(settings.sender + QStringLiteral(">after joins")),
          userLineOwnLogNs(size_t(settings.userLineOffsets.size()), 0)
    {
        QObject::connect(log, &QAbstractItemModel::rowsInserted, log,
                         [this](const QModelIndex &, int first, int last) { inserted(first, last); });
        // After each batch of arrivals has gone into the log and the view was told to scroll.
        QObject::connect(session, &ChatSession::chatLogGrew, log, [this] { grew(); });
        QObject::connect(session, &ChatSession::participantsGrew, log, [this] {
            lastJoinListedNs = monotonicNs();
            ++joinsGrewCount;
        });
    }

    void inserted(int first, int last)
    {
        rowsInserted += last - first + 1;
        rowsSinceGrew += last - first + 1;
        const QString userLinePrefix = QStringLiteral("userline ");
        for (int row = first; row <= last; ++row) {
            const QString entry = log->at(row);
            if (entry.startsWith(floodPrefix)) {
                ++floodShown;
                const long long number =
                    entry.mid(floodPrefix.size()).section(QLatin1Char('\t'), 0, 0).toLongLong();
                highestFlood = std::max(highestFlood, number);
                if (number > 0 && number <= 100000000) {
                    if (size_t(number) >= floodNumbersShown.size())
                        floodNumbersShown.resize(size_t(number) * 2);
                    floodNumbersShown[size_t(number)] = true;
                }
            } else if (entry.startsWith(QStringLiteral("履歴"))) {
                historyNotices.append(entry.section(QLatin1Char('\t'), 0, 0));
            } else if (entry.startsWith(markerPrefix)) {
                markerInserted = true;
            } else if (const qsizetype at = entry.indexOf(userLinePrefix); at >= 0) {
                userLinesInserted.append(
                    entry.mid(at + userLinePrefix.size()).section(QLatin1Char('\t'), 0, 0).toInt());
            }
        }
    }

    void grew()
    {
        const long long now = monotonicNs();
        lastGrowNs = now;
        ++grewCount;
        largestBatch = std::max(largestBatch, rowsSinceGrew);
        rowsSinceGrew = 0;
        if (floodShown > 0) {
            if (!firstFloodShownNs)
                firstFloodShownNs = now;
            lastFloodShownNs = now;
        }
        if (markerInserted && !markerShownNs)
            markerShownNs = now;
        for (int number : std::as_const(userLinesInserted)) {
            if (number >= 1 && number <= int(userLineOwnLogNs.size()) &&
                !userLineOwnLogNs[size_t(number - 1)])
                userLineOwnLogNs[size_t(number - 1)] = now;
        }
        userLinesInserted.clear();
    }

    bool userLinesShown() const
    {
        return std::all_of(userLineOwnLogNs.begin(), userLineOwnLogNs.end(),
                           [](long long ns) { return ns != 0; });
    }

    EntryListModel *log;
    const QString floodPrefix;
    const QString markerPrefix;
    long long floodShown = 0;
    long long highestFlood = 0;
    std::vector<bool> floodNumbersShown; // by the number in the line
    QStringList historyNotices;
    long long firstFloodShownNs = 0;
    long long lastFloodShownNs = 0;
    long long lastGrowNs = 0;
    long long rowsInserted = 0;
    long long rowsSinceGrew = 0;
    long long largestBatch = 0;
    long long grewCount = 0;
    bool markerInserted = false;
    long long markerShownNs = 0;
    QList<int> userLinesInserted;
    std::vector<long long> userLineOwnLogNs;
    long long lastJoinListedNs = 0;
    long long joinsGrewCount = 0;
};

// The times of a run every report measures from.
struct Span
{
    long long floodStartNs;
    long long floodEndNs;
    long long endNs;
};

void printKernel(const QHash<QByteArray, long long> &before, quint16 chatPort)
{
    const auto after = Bench::udpCounters();
    const auto delta = [&](const char *name) { return after.value(name) - before.value(name); };
    const Bench::SocketRow chatRow = Bench::socketRowOf(chatPort);
    const Bench::SocketRow presenceRow = Bench::socketRowOf(Datagram::presencePort);
    std::printf("kernel: chat socket %lld datagrams dropped, %lld bytes still queued; presence socket %lld "
                "dropped, %lld bytes queued; namespace UDP counters during the run: InDatagrams %lld, "
                "RcvbufErrors %lld, InErrors %lld\n",
                chatRow.drops, chatRow.receiveQueue, presenceRow.drops, presenceRow.receiveQueue,
                delta("InDatagrams"), delta("RcvbufErrors"), delta("InErrors"));
}

void printMemory(const std::vector<RssSample> &samples, long long rssBeforeKiB, double rssStep,
                 const Span &span)
{
    long long maxKiB = 0;
    long long maxAtNs = 0;
    for (const RssSample &s : samples) {
        if (s.kib > maxKiB) {
            maxKiB = s.kib;
            maxAtNs = s.ns;
        }
    }
    std::printf(
        "rss: %zu samples every 100 ms; before the flood %.1f MiB; maximum %.1f MiB at %+.1f s from the "
        "flood's start\n",
        samples.size(), rssBeforeKiB / 1024.0, maxKiB / 1024.0, seconds(maxAtNs - span.floodStartNs));
    QStringList curve;
    const long long stepNs = (long long)(rssStep * 1e9);
    long long intervalMax = 0;
    long long mark = span.floodStartNs + stepNs;
    long long lastKiB = -1;
    for (const RssSample &s : samples) {
        if (s.ns < span.floodStartNs)
            continue;
        while (s.ns >= mark) {
            curve.append(QStringLiteral("%1 s: %2 (max %3)")
                             .arg(seconds(mark - span.floodStartNs), 0, 'f', 0)
                             .arg(lastKiB / 1024.0, 0, 'f', 1)
                             .arg(intervalMax / 1024.0, 0, 'f', 1));
            intervalMax = 0;
            mark += stepNs;
        }
        intervalMax = std::max(intervalMax, s.kib);
        lastKiB = s.kib;
    }
    curve.append(QStringLiteral("end %1 s: %2 (max %3)")
                     .arg(seconds(span.endNs - span.floodStartNs), 0, 'f', 1)
                     .arg(lastKiB / 1024.0, 0, 'f', 1)
                     .arg(intervalMax / 1024.0, 0, 'f', 1));
    std::printf("rss curve, MiB at each step from the flood's start (max in the step before): %s\n",
                qUtf8Printable(curve.join(QStringLiteral(", "))));
}

// The title marquee: the largest gaps between ticks from the flood's start to the end of the run.
void printMarquee(const std::vector<long long> &ticks, const Span &span)
{
    std::vector<std::pair<long long, long long>> gaps; // gap, time of the tick that ended it
    long long previous = span.floodStartNs;
    int ticksInRun = 0;
    for (long long tick : ticks) {
        if (tick < span.floodStartNs)
            continue;
        ++ticksInRun;
        gaps.push_back({tick - previous, tick});
        previous = tick;
    }
    gaps.push_back({span.endNs - previous, span.endNs});
    std::sort(gaps.begin(), gaps.end(), std::greater<>());
    QStringList largest;
    for (size_t i = 0; i < std::min<size_t>(5, gaps.size()); ++i)
        largest.append(QStringLiteral("%1 ms ending at %2 s")
                           .arg(double(gaps[i].first) / 1e6, 0, 'f', 0)
                           .arg(seconds(gaps[i].second - span.floodStartNs), 0, 'f', 1));
    std::printf("marquee: %d title changes from the flood's start to the end (%.1f s); largest gaps "
                "(counting from the flood's start and to the end of the run): %s\n",
                ticksInRun, seconds(span.endNs - span.floodStartNs),
                qUtf8Printable(largest.join(QStringLiteral(", "))));
}

// Within a chat flood alone: gaps that end before the flood's end, plus the one that spans it.
void printMarqueeDuringFlood(const std::vector<long long> &ticks, const Span &span)
{
    long long floodMax = 0;
    int over750 = 0;
    int over1500 = 0;
    QStringList longGaps;
    const auto gap = [&](long long from, long long to) {
        const long long ns = to - from;
        floodMax = std::max(floodMax, ns);
        over750 += ns > 750000000LL;
        over1500 += ns > 1500000000LL;
        if (ns > 750000000LL && longGaps.size() < 10)
            longGaps.append(QStringLiteral("%1 ms from %2 s")
                                .arg(double(ns) / 1e6, 0, 'f', 0)
                                .arg(seconds(from - span.floodStartNs), 0, 'f', 1));
    };
    long long prev = span.floodStartNs;
    for (long long tick : ticks) {
        if (tick < span.floodStartNs)
            continue;
        gap(prev, std::min(tick, span.floodEndNs));
        prev = tick;
        if (tick >= span.floodEndNs)
            break;
    }
    if (prev < span.floodEndNs)
        gap(prev, std::min(span.endNs, span.floodEndNs));
    std::printf("marquee during the flood: %d gaps over 750 ms, %d over 1500 ms%s%s\n", over750, over1500,
                longGaps.isEmpty() ? "" : ": ", qUtf8Printable(longGaps.join(QStringLiteral(", "))));
    std::printf("marquee-max-gap-during-flood-ms %.0f\n", double(floodMax) / 1e6);
}

// Paints of the log from the flood's start to the given time.
void printLogPaints(const std::vector<long long> &paints, const Span &span, long long until, const char *what)
{
    long long previous = span.floodStartNs;
    long long largest = 0;
    int count = 0;
    for (long long paint : paints) {
        if (paint < span.floodStartNs || paint > until)
            continue;
        ++count;
        largest = std::max(largest, paint - previous);
        previous = paint;
    }
    largest = std::max(largest, std::min(until, span.endNs) - previous);
    std::printf("log view: %d paints from the flood's start to %s (%.1f s), largest gap %.0f ms\n", count,
                what, seconds(std::min(until, span.endNs) - span.floodStartNs), double(largest) / 1e6);
}

void printChatResult(const LogWatch &watch, const std::vector<long long> &postedNs, const Span &span)
{
    std::printf("flood lines shown %lld (highest number %lld); first shown %+.3f s, last shown %+.3f s from "
                "the flood's start (flood length %.1f s)\n",
                watch.floodShown, watch.highestFlood,
                watch.firstFloodShownNs ? seconds(watch.firstFloodShownNs - span.floodStartNs) : 0.0,
                watch.lastFloodShownNs ? seconds(watch.lastFloodShownNs - span.floodStartNs) : 0.0,
                seconds(span.floodEndNs - span.floodStartNs));
    std::printf("flood-shown %lld\n", watch.floodShown);
    for (size_t i = 0; i < postedNs.size(); ++i)
        std::printf("user-line %zu posted-ns %lld own-log-ns %lld\n", i + 1, postedNs[i],
                    watch.userLineOwnLogNs[i]);
}

void printJoinsResult(const LogWatch &watch, const EntryListModel &participants, int expectJoins,
                      const Span &span)
{
    int listed = 0;
    for (int row = 0; row < participants.size(); ++row) {
        if (participants.at(row).startsWith(QLatin1String("join")))
            ++listed;
    }
    std::printf("joins listed %d of %d (participant list holds %d), in %lld list updates; last listed "
                "%+.3f s from the flood's start\n",
                listed, expectJoins, participants.size(), watch.joinsGrewCount,
                watch.lastJoinListedNs ? seconds(watch.lastJoinListedNs - span.floodStartNs) : 0.0);
    std::printf("joins-listed %d\nline-shown-ns %lld\n", listed, watch.markerShownNs);
}

// The history file seen through the sampler, before the flood and over the run.
struct HistoryRun
{
    QString path;
    Bench::HistorySample base; // the last sample before the flood
    std::vector<Bench::HistorySample> samples;
    std::vector<long long> batches; // History::stored, as the window's thread heard it
};

double mib(long long bytes)
{
    return double(bytes) / 1048576.0;
}

// The history, once everything is in the file: the lines the log showed against those stored, and
// over the run, second by second, what was stored, what waited, the index's lag and the journal.
void printHistory(const HistoryRun &run, const LogWatch &watch, const Bench::StoredLines &stored,
                  const Span &span)
{
    if (!stored.error.isEmpty())
        std::printf("history: reading %s failed: %s\n", qUtf8Printable(run.path),
                    qUtf8Printable(stored.error));
    long long shownNotStored = 0;
    long long storedNotShown = 0;
    QStringList firstLost;
    const size_t highest = std::max(watch.floodNumbersShown.size(), stored.numbers.size());
    for (size_t n = 1; n < highest; ++n) {
        const bool shown = n < watch.floodNumbersShown.size() && watch.floodNumbersShown[n];
        const bool kept = n < stored.numbers.size() && stored.numbers[n];
        if (shown && !kept && ++shownNotStored <= 5)
            firstLost.append(QString::number(n));
        storedNotShown += kept && !shown;
    }
    std::printf("history: %s; %lld rows before the flood (newest id %lld), %lld at the end\n",
                qUtf8Printable(run.path), run.base.maxId, run.base.maxId, stored.rows);
    std::printf("history: flood lines shown in the log %lld, stored %lld (%lld twice); shown but not stored "
                "%lld%s%s; stored but never shown %lld\n",
                watch.floodShown, stored.lines, stored.duplicates, shownNotStored,
                firstLost.isEmpty() ? "" : ", first: ", qUtf8Printable(firstLost.join(QStringLiteral(", "))),
                storedNotShown);
    for (const QString &gap : stored.gaps)
        std::printf("history: gap row: %s\n", qUtf8Printable(gap));
    for (const QString &notice : watch.historyNotices)
        std::printf("history: in the log: %s\n", qUtf8Printable(notice));
    std::printf("history-stored %lld\nhistory-lost %lld\n", stored.lines, shownNotStored);
    if (run.samples.empty())
        return;

    const Bench::HistorySample &base = run.base;
    const auto waiting = [&](const Bench::HistorySample &sample) {
        return (sample.handedIn - base.handedIn) - (sample.maxId - base.maxId);
    };
    // Second by second from the flood's start.
    struct Second
    {
        long long maxId = -1;
        long long unindexed = 0;
        long long walMax = 0;
        long long waitingMax = 0;
        int batches = 0;
    };
    const size_t secondsInRun = size_t((span.endNs - span.floodStartNs) / 1000000000LL) + 1;
    std::vector<Second> seconds(secondsInRun);
    for (const Bench::HistorySample &sample : run.samples) {
        if (sample.ns < span.floodStartNs || sample.maxId < 0)
            continue;
        Second &second =
            seconds[std::min(secondsInRun - 1, size_t((sample.ns - span.floodStartNs) / 1000000000LL))];
        second.maxId = sample.maxId;
        second.unindexed = sample.unindexed();
        second.walMax = std::max(second.walMax, sample.walBytes);
        second.waitingMax = std::max(second.waitingMax, waiting(sample));
    }
    for (long long ns : run.batches) {
        if (ns >= span.floodStartNs)
            ++seconds[std::min(secondsInRun - 1, size_t((ns - span.floodStartNs) / 1000000000LL))].batches;
    }
    // Up to two seconds after the last one in which anything happened.
    size_t shownSeconds = 0;
    long long previous = base.maxId;
    for (size_t k = 0; k < secondsInRun; ++k) {
        if (seconds[k].maxId < 0)
            seconds[k].maxId = previous;
        if (seconds[k].maxId != previous || seconds[k].unindexed > 0 || seconds[k].batches > 0 ||
            seconds[k].walMax > 4 * 1048576)
            shownSeconds = std::min(secondsInRun, k + 3);
        previous = seconds[k].maxId;
    }
    QStringList storedPerSecond, unindexed, wal, waitingMax, batches;
    previous = base.maxId;
    for (size_t k = 0; k < shownSeconds; ++k) {
        storedPerSecond.append(QString::number(seconds[k].maxId - previous));
        previous = seconds[k].maxId;
        unindexed.append(QString::number(seconds[k].unindexed));
        wal.append(QString::number(mib(seconds[k].walMax), 'f', 1));
        waitingMax.append(QString::number(seconds[k].waitingMax));
        batches.append(QString::number(seconds[k].batches));
    }
    std::printf("history, each second from the flood's start:\n");
    std::printf("  lines stored: %s\n", qUtf8Printable(storedPerSecond.join(u' ')));
    std::printf("  batches stored: %s\n", qUtf8Printable(batches.join(u' ')));
    std::printf("  most lines handed in and not (yet) stored: %s\n", qUtf8Printable(waitingMax.join(u' ')));
    std::printf("  lines not indexed at the second's end: %s\n", qUtf8Printable(unindexed.join(u' ')));
    std::printf("  largest -wal, MiB: %s\n", qUtf8Printable(wal.join(u' ')));

    const auto at = [&](long long ns) { return double(ns - span.floodStartNs) / 1e9; };
    const auto after = [&](long long ns) { return double(ns - span.floodEndNs) / 1e9; };
    const long long finalMaxId = run.samples.back().maxId;
    long long allStoredNs = 0;
    long long mostUnindexed = 0;
    long long mostUnindexedNs = 0;
    long long mostWaiting = 0;
    long long walMax = 0;
    long long walMaxNs = 0;
    long long walFloodMax = 0;
    long long lastBehindIndex = -1;
    for (size_t i = 0; i < run.samples.size(); ++i) {
        const Bench::HistorySample &sample = run.samples[i];
        if (sample.ns < span.floodStartNs || sample.maxId < 0)
            continue;
        if (!allStoredNs && sample.maxId == finalMaxId)
            allStoredNs = sample.ns;
        if (sample.unindexed() > mostUnindexed) {
            mostUnindexed = sample.unindexed();
            mostUnindexedNs = sample.ns;
        }
        if (sample.unindexed() > 0)
            lastBehindIndex = (long long)i;
        mostWaiting = std::max(mostWaiting, waiting(sample));
        if (sample.walBytes > walMax) {
            walMax = sample.walBytes;
            walMaxNs = sample.ns;
        }
        if (sample.ns <= span.floodEndNs)
            walFloodMax = std::max(walFloodMax, sample.walBytes);
    }
    long long indexCaughtUpNs = 0;
    if (lastBehindIndex >= 0 && size_t(lastBehindIndex) + 1 < run.samples.size())
        indexCaughtUpNs = run.samples[size_t(lastBehindIndex) + 1].ns;
    // The journal after the burst: from when it last came down to 4 MiB or less.
    long long walBackNs = 0;
    for (const Bench::HistorySample &sample : run.samples) {
        if (sample.ns < walMaxNs)
            continue;
        if (sample.walBytes > 4 * 1048576)
            walBackNs = 0;
        else if (!walBackNs)
            walBackNs = sample.ns;
    }
    std::printf("history: every line stored by %+.1f s (%+.1f s after the flood's end); most waiting %lld "
                "lines\n",
                at(allStoredNs), after(allStoredNs), mostWaiting);
    if (lastBehindIndex < 0)
        std::printf("history: the index never lagged behind a sample\n");
    else if (!indexCaughtUpNs)
        std::printf("history: the index had not caught up at the end (%lld lines not indexed)\n",
                    run.samples.back().unindexed());
    else
        std::printf(
            "history: index caught up at %+.1f s: %+.1f s from the flood's end, %+.1f s from the last "
            "line stored; most lines not indexed %lld at %+.1f s\n",
            at(indexCaughtUpNs), after(indexCaughtUpNs), double(indexCaughtUpNs - allStoredNs) / 1e9,
            mostUnindexed, at(mostUnindexedNs));
    std::printf(
        "history -wal: largest %.1f MiB at %+.1f s (%.1f MiB during the flood); %s; %.1f MiB at the "
        "end (%+.1f s)\n",
        mib(walMax), at(walMaxNs), mib(walFloodMax),
        walBackNs ? qUtf8Printable(QStringLiteral("4 MiB or less from %1 s on").arg(at(walBackNs), 0, 'f', 1))
                  : "never back to 4 MiB or less",
        mib(run.samples.back().walBytes), at(run.samples.back().ns));
    std::printf("history-wal-max-bytes %lld\nhistory-wal-end-bytes %lld\nhistory-most-unindexed %lld\n"
                "history-index-caught-up-s %s\n",
                walMax, run.samples.back().walBytes, mostUnindexed,
                lastBehindIndex < 0 ? "0"
                : indexCaughtUpNs   ? qUtf8Printable(QString::number(after(indexCaughtUpNs), 'f', 1))
                                    : "never");

    // Stalls: no new line stored for more than 500 ms while lines were waiting. What the writer
    // thread did meanwhile tells why: it worked (CPU), it was ready but had no CPU (waiting), or it
    // slept or waited for the disk (the rest).
    struct Stall
    {
        long long ns;
        const Bench::HistorySample *from;
        const Bench::HistorySample *to;
    };
    std::vector<Stall> stalls;
    const Bench::HistorySample *changed = nullptr;
    long long lastMaxId = base.maxId;
    bool waited = false;
    for (const Bench::HistorySample &sample : run.samples) {
        if (sample.ns < span.floodStartNs || sample.maxId < 0)
            continue;
        if (!changed)
            changed = &sample;
        if (sample.maxId != lastMaxId) {
            if (waited && sample.ns - changed->ns > 500000000LL)
                stalls.push_back({sample.ns - changed->ns, changed, &sample});
            changed = &sample;
            lastMaxId = sample.maxId;
            waited = false;
        }
        waited = waited || waiting(sample) > 0;
    }
    const auto writer = [](const Bench::HistorySample &from, const Bench::HistorySample &to) {
        const long long ns = to.ns - from.ns;
        const long long cpu = to.writerCpuNs - from.writerCpuNs;
        const long long wait = to.writerWaitNs - from.writerWaitNs;
        return QStringLiteral("writer: CPU %1 ms, waiting for a CPU %2 ms, asleep or on the disk %3 ms")
            .arg(double(cpu) / 1e6, 0, 'f', 0)
            .arg(double(wait) / 1e6, 0, 'f', 0)
            .arg(double(ns - cpu - wait) / 1e6, 0, 'f', 0);
    };
    std::sort(stalls.begin(), stalls.end(), [](const Stall &a, const Stall &b) { return a.ns > b.ns; });
    long long stalledNs = 0;
    for (const Stall &stall : stalls)
        stalledNs += stall.ns;
    std::printf(
        "history: %zu stalls over 500 ms with lines waiting (sampled every 100 ms), %.1f s in all%s\n",
        stalls.size(), double(stalledNs) / 1e9, stalls.empty() ? "" : "; the longest:");
    for (size_t i = 0; i < std::min<size_t>(5, stalls.size()); ++i) {
        QString states;
        for (const Bench::HistorySample *sample = stalls[i].from; sample <= stalls[i].to; ++sample)
            states += QLatin1Char(sample->writerState ? sample->writerState : '?');
        std::printf("  %.0f ms from %+.1f s (%lld lines waiting at its end); %s; states %s\n",
                    double(stalls[i].ns) / 1e6, at(stalls[i].from->ns), waiting(*stalls[i].to),
                    qUtf8Printable(writer(*stalls[i].from, *stalls[i].to)), qUtf8Printable(states));
    }
    // The writer over the flood and until every line was stored, and until the index caught up.
    const Bench::HistorySample *first = nullptr;
    const Bench::HistorySample *storedAt = nullptr;
    const Bench::HistorySample *indexed = nullptr;
    for (const Bench::HistorySample &sample : run.samples) {
        if (sample.ns < span.floodStartNs || sample.maxId < 0)
            continue;
        if (!first)
            first = &sample;
        if (sample.ns <= allStoredNs)
            storedAt = &sample;
        if (sample.ns <= std::max(indexCaughtUpNs, allStoredNs))
            indexed = &sample;
    }
    if (first && storedAt && indexed) {
        std::printf("history: from the flood's start until every line was stored (%.1f s), %s\n",
                    double(storedAt->ns - first->ns) / 1e9, qUtf8Printable(writer(*first, *storedAt)));
        std::printf("history: from then until the index caught up (%.1f s), %s\n",
                    double(indexed->ns - storedAt->ns) / 1e9, qUtf8Printable(writer(*storedAt, *indexed)));
    }
}

void printThreads()
{
    QStringList threads;
    for (const Bench::ThreadTime &thread : Bench::threadTimes()) {
        if (thread.cpuSeconds >= 0.05)
            threads.append(QStringLiteral("%1 (%2, nice %3) %4 s")
                               .arg(thread.tid)
                               .arg(thread.name)
                               .arg(thread.nice)
                               .arg(thread.cpuSeconds, 0, 'f', 2));
    }
    std::printf("CPU time by thread, from the start: %s\n",
                qUtf8Printable(threads.join(QStringLiteral(", "))));
}

// Whether the history has stored and indexed everything: nothing unindexed and no new line for the
// settle time. Fed by the watchdog on the window's thread.
struct HistorySettled
{
    bool check(const Bench::HistorySample &sample, long long settleNs)
    {
        if (sample.maxId != lastMaxId || sample.unindexed() != 0) {
            lastMaxId = sample.maxId;
            sinceNs = sample.ns;
        }
        return sample.maxId >= 0 && sample.unindexed() == 0 && sample.ns - sinceNs >= settleNs;
    }
    long long lastMaxId = -2;
    long long sinceNs = 0;
};

// Whether the run is over: a chat run --idle seconds after the last flood line was shown, once the
// flood is over (longer while a typed line is still to show) and the history has settled; a join
// run once the line after the joins was shown and every join listed, or --idle seconds after the
// log last grew.
bool runOver(const Settings &settings, const LogWatch &watch, const EntryListModel &participants,
             const Span &span, bool historySettled)
{
    const long long now = monotonicNs();
    if (now - span.floodStartNs > settings.timeoutNs)
        return true;
    if (settings.chatMode) {
        const long long quietSince = std::max(watch.lastGrowNs, span.floodEndNs);
        return now > span.floodEndNs && now - quietSince > settings.idleNs &&
               (watch.userLinesShown() || now - quietSince > 3 * settings.idleNs) && historySettled;
    }
    const bool allListed = watch.markerShownNs && participants.size() >= settings.expectJoins;
    return allListed || (watch.lastGrowNs && now - watch.lastGrowNs > settings.idleNs);
}

} // namespace

int main(int argc, char *argv[])
{
    Bench::preferOffscreen();
    QApplication application(argc, argv);
    const std::optional<Settings> settings = settingsFromCommandLine();
    if (!settings)
        return 2;

    Bench::UdpInstance instance;
    Module1 &module1 = instance.module1;
    // Where the program keeps its history when set.txt is in the program folder.
    const QString historyPath = QDir(instance.appFolder.path()).filePath(QStringLiteral("history.sqlite"));
    if (!settings->historyFile.isEmpty() && !QFile::copy(settings->historyFile, historyPath)) {
        std::fprintf(stderr, "cannot copy %s to %s\n", qUtf8Printable(settings->historyFile),
                     qUtf8Printable(historyPath));
        return 1;
    }
    if (!module1.Main())
        return 1;
    Form1 *form1 = module1.form1();
    History *history = module1.history();
    HistoryRun historyRun;
    historyRun.path = history->path();
    QObject::connect(history, &History::stored, &application,
                     [&] { historyRun.batches.push_back(monotonicNs()); });
    std::atomic<long long> handedIn{0};
    QObject::connect(form1->session(), &ChatSession::logged, &application, [&] { ++handedIn; });
    Bench::waitUntilExposed(form1);
    // The start-up announcement (own leave and join notices) is handled before the flood, and the
    // history is open.
    for (int i = 0; i < 20; ++i)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    const QDeadlineTimer opening(60000);
    while (history->state() == History::State::Opening && !opening.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(10);
    }
    if (historyRun.path != historyPath)
        std::printf("the history is not beside set.txt: %s\n", qUtf8Printable(historyRun.path));
    if (history->state() != History::State::Ready)
        std::printf("the history is not ready (state %d)\n", int(history->state()));
    std::optional<Bench::HistorySampler> historySampler;
    if (settings->chatMode)
        historySampler.emplace(historyRun.path, 100000000LL, handedIn);
    HistorySettled historySettled;

    ChatSession *session = form1->session();
    const EntryListModel &participants = *session->participants();
    const quint16 chatPort = quint16(module1.record().chatPort.toUInt());
    LogWatch watch(session, *settings);
    std::vector<long long> ticks;
    ticks.reserve(100000);
    QObject::connect(form1->indicator(), &TitleIndicator::titleChanged, &application,
                     [&] { ticks.push_back(monotonicNs()); });
    PaintRecorder logPaints;
    logPaints.paints.reserve(200000);
    form1->list1()->viewport()->installEventFilter(&logPaints);

    const int chatSocket = Bench::socketOf(chatPort);
    const auto countersBefore = Bench::udpCounters();
    const long long rssBeforeKiB = Bench::rssKiB();
    Span span;
    span.floodStartNs = monotonicNs() + settings->leadNs;
    span.floodEndNs = span.floodStartNs + (settings->chatMode ? settings->floodNs : 0);
    RssSampler rss(100000000LL);
    std::optional<User> user;
    user.emplace(form1->text1(), settings->userLineOffsets, span.floodStartNs);

    QTimer watchdog;
    QObject::connect(&watchdog, &QTimer::timeout, &application, [&] {
        const bool settled = !historySampler || history->state() != History::State::Ready ||
                             historySettled.check(historySampler->latest(), settings->historySettleNs);
        if (runOver(*settings, watch, participants, span, settled))
            application.quit();
    });
    watchdog.start(100);

    std::printf("ready: %s, chat port %u, chat socket's receive buffer %d bytes, flood-start-ns %lld\n",
                qUtf8Printable(module1.record().localIp), chatPort, Bench::receiveBufferOf(chatSocket),
                span.floodStartNs);
    std::fflush(stdout);
    application.exec();
    span.endNs = monotonicNs();
    const std::vector<long long> postedNs = user->postedNs;
    user.reset();
    rss.stop();
    if (historySampler) {
        historySampler->stop();
        historyRun.samples = historySampler->samples();
        for (const Bench::HistorySample &sample : historyRun.samples) {
            if (sample.ns < span.floodStartNs && sample.maxId >= 0)
                historyRun.base = sample;
        }
    }

    printKernel(countersBefore, chatPort);
    std::printf("log: %lld rows inserted in %lld batches (largest %lld), holds %d entries at the end\n",
                watch.rowsInserted, watch.grewCount, watch.largestBatch, watch.log->size());
    printMemory(rss.samples(), rssBeforeKiB, settings->rssStep, span);
    if (settings->chatMode)
        printMarqueeDuringFlood(ticks, span);
    printMarquee(ticks, span);
    printLogPaints(logPaints.paints, span, settings->chatMode ? span.floodEndNs : span.endNs,
                   settings->chatMode ? "its end" : "the end of the run");
    if (settings->chatMode) {
        printChatResult(watch, postedNs, span);
        printHistory(historyRun, watch,
                     Bench::readStoredLines(historyRun.path, historyRun.base.maxId, settings->sender,
                                            QStringLiteral("flood")),
                     span);
    } else {
        printJoinsResult(watch, participants, settings->expectJoins, span);
    }
    printThreads();
    std::printf("messages shown: %d\n", instance.messages.shown);
    return instance.messages.shown == 0 ? 0 : 3;
}
