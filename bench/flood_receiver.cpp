// One real instance (Module1 with the real UDP network, window on the offscreen platform) under a
// flood from another host. Refuses to run outside a bench network namespace (see support/netnsguard.h).
// Run by bench_flood.sh.
//
//   bench_flood_receiver --mode chat  [--seconds 60] [--user-lines-at 10,30,50] [--rss-step 10]
//   bench_flood_receiver --mode joins [--expect-joins 10000]
//   common: [--sender benchB] [--lead 2] [--idle 5] [--timeout 300]
//
// Prints "ready ... flood-start-ns NS": the sender is to start at that CLOCK_MONOTONIC time.
//
// chat: a thread samples VmRSS every 100 ms; another one, at the --user-lines-at offsets into the
// flood, records the time and posts a typed text "userline N" and a Return key press to the input
// line, as a user would type them (the program sends the line to the broadcast address). Every tick
// of the title marquee is timed. Ends --idle seconds after the last flood line was shown, once the
// flood is over.
// joins: times the appearance of the chat line "after joins" that the sender sends after its joins
// and counts the joins listed. Ends when that line was shown and every join listed, or --idle
// seconds after the log last grew.
// Times are CLOCK_MONOTONIC, shared by every namespace of the kernel.

#include "benchinstance.h"
#include "benchmain.h"
#include "clocks.h"
#include "net/chatsession.h"
#include "net/datagram.h"
#include "net/entrylistmodel.h"
#include "processmemory.h"
#include "socketstats.h"
#include "ui/entrylistview.h"
#include "ui/form1.h"
#include "ui/titleindicator.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QKeyEvent>
#include <QLineEdit>
#include <QTimer>
#include <algorithm>
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
    if (!Bench::parseCommandLine(parser,
                                 {modeOption, secondsOption, userLinesOption, rssStepOption,
                                  expectJoinsOption, senderOption, leadOption, idleOption, timeoutOption},
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
                highestFlood =
                    std::max(highestFlood,
                             entry.mid(floodPrefix.size()).section(QLatin1Char('\t'), 0, 0).toLongLong());
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

// Whether the run is over: a chat run --idle seconds after the last flood line was shown, once the
// flood is over (longer while a typed line is still to show); a join run once the line after the
// joins was shown and every join listed, or --idle seconds after the log last grew.
bool runOver(const Settings &settings, const LogWatch &watch, const EntryListModel &participants,
             const Span &span)
{
    const long long now = monotonicNs();
    if (now - span.floodStartNs > settings.timeoutNs)
        return true;
    if (settings.chatMode) {
        const long long quietSince = std::max(watch.lastGrowNs, span.floodEndNs);
        return now > span.floodEndNs && now - quietSince > settings.idleNs &&
               (watch.userLinesShown() || now - quietSince > 3 * settings.idleNs);
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
    if (!module1.Main())
        return 1;
    Form1 *form1 = module1.form1();
    Bench::waitUntilExposed(form1);
    // The start-up announcement (own leave and join notices) is handled before the flood.
    for (int i = 0; i < 20; ++i)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);

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
        if (runOver(*settings, watch, participants, span))
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

    printKernel(countersBefore, chatPort);
    std::printf("log: %lld rows inserted in %lld batches (largest %lld), holds %d entries at the end\n",
                watch.rowsInserted, watch.grewCount, watch.largestBatch, watch.log->size());
    printMemory(rss.samples(), rssBeforeKiB, settings->rssStep, span);
    if (settings->chatMode)
        printMarqueeDuringFlood(ticks, span);
    printMarquee(ticks, span);
    printLogPaints(logPaints.paints, span, settings->chatMode ? span.floodEndNs : span.endNs,
                   settings->chatMode ? "its end" : "the end of the run");
    if (settings->chatMode)
        printChatResult(watch, postedNs, span);
    else
        printJoinsResult(watch, participants, settings->expectJoins, span);
    std::printf("messages shown: %d\n", instance.messages.shown);
    return instance.messages.shown == 0 ? 0 : 3;
}
