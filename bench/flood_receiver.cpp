// One real instance (Module1 with the real UDP network, window on the offscreen platform) under a
// flood from another host. Refuses to run outside a bench network namespace (see netnsguard.h).
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

#include "app/module1.h"
#include "base/clock.h"
#include "base/systemscheduler.h"
#include "net/chatsession.h"
#include "net/datagram.h"
#include "net/entrylistmodel.h"
#include "net/udpnetwork.h"
#include "netnsguard.h"
#include "printingmessagebox.h"
#include "recordingbadgeandnotifications.h"
#include "recordingurlopener.h"
#include "socketstats.h"
#include "ui/entrylistview.h"
#include "ui/form1.h"
#include "ui/titleindicator.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDeadlineTimer>
#include <QKeyEvent>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTimer>
#include <QWindow>
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace {

long long monotonicNs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000000000LL + now.tv_nsec;
}

// VmRSS in KiB without Qt: read on a thread of its own while the window's thread may be busy.
long long rssKiBNow()
{
    FILE *status = std::fopen("/proc/self/status", "r");
    if (!status)
        return -1;
    char line[256];
    long long kib = -1;
    while (std::fgets(line, sizeof line, status)) {
        if (std::strncmp(line, "VmRSS:", 6) == 0) {
            kib = std::atoll(line + 6);
            break;
        }
    }
    std::fclose(status);
    return kib;
}

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
            m_samples.push_back({monotonicNs(), rssKiBNow()});
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

double seconds(long long ns)
{
    return double(ns) / 1e9;
}

QList<double> parseOffsets(const QString &text)
{
    QList<double> offsets;
    for (const QString &piece : text.split(QLatin1Char(','), Qt::SkipEmptyParts))
        offsets.append(piece.toDouble());
    return offsets;
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
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
    parser.addOptions({modeOption, secondsOption, userLinesOption, rssStepOption, expectJoinsOption,
                       senderOption, leadOption, idleOption, timeoutOption});
    parser.process(application);

    if (const QString why = Bench::notInBenchNamespace(); !why.isEmpty()) {
        std::fprintf(stderr, "refusing to run: %s\n", qUtf8Printable(why));
        return 2;
    }
    const bool chatMode = parser.value(modeOption) == QLatin1String("chat");
    if (!chatMode && parser.value(modeOption) != QLatin1String("joins")) {
        std::fprintf(stderr, "--mode must be chat or joins\n");
        return 2;
    }
    const long long floodNs = (long long)(parser.value(secondsOption).toDouble() * 1e9);
    const QList<double> userLineOffsets =
        chatMode ? parseOffsets(parser.value(userLinesOption)) : QList<double>();
    const double rssStep = std::max(0.1, parser.value(rssStepOption).toDouble());
    const int expectJoins = parser.value(expectJoinsOption).toInt();
    const QString sender = parser.value(senderOption);
    const long long leadNs = (long long)(parser.value(leadOption).toDouble() * 1e9);
    const long long idleNs = (long long)(parser.value(idleOption).toDouble() * 1e9);
    const long long timeoutNs = (long long)(parser.value(timeoutOption).toDouble() * 1e9);

    QTemporaryDir appFolder;
    UdpNetwork network;
    PrintingMessageBox messages(stderr);
    SystemClock clock;
    RecordingUrlOpener shell;
    SystemScheduler scheduler;
    RecordingBadgeAndNotifications desktop;
    Services services{network, messages, clock, shell, scheduler, desktop};
    Module1 module1(services, appFolder.path());
    if (!module1.Main())
        return 1;
    Form1 *form1 = module1.form1();
    const QDeadlineTimer exposeDeadline(10000);
    while (!(form1->windowHandle() && form1->windowHandle()->isExposed()) && !exposeDeadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    // The start-up announcement (own leave and join notices) is handled before the flood.
    for (int i = 0; i < 20; ++i)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);

    ChatSession *session = form1->session();
    EntryListModel *log = session->chatLog();
    EntryListModel *participants = session->participants();
    QLineEdit *input = form1->text1();
    const quint16 chatPort = quint16(module1.record().chatPort.toUInt());

    const QString floodPrefix = sender + QStringLiteral(">flood ");
    const QString markerPrefix = sender + QStringLiteral(">after joins");
    const QString userLinePrefix = QStringLiteral("userline ");

    // What the chat log shows, seen row by row as rows go in (the log may also drop old rows).
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
    std::vector<long long> userLineOwnLogNs(size_t(userLineOffsets.size()), 0);
    long long lastJoinListedNs = 0;
    long long joinsGrewCount = 0;

    QObject::connect(
        log, &QAbstractItemModel::rowsInserted, &application, [&](const QModelIndex &, int first, int last) {
            rowsInserted += last - first + 1;
            rowsSinceGrew += last - first + 1;
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
        });
    // After each batch of arrivals has gone into the log and the view was told to scroll.
    QObject::connect(session, &ChatSession::chatLogGrew, &application, [&] {
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
    });
    QObject::connect(session, &ChatSession::participantsGrew, &application, [&] {
        lastJoinListedNs = monotonicNs();
        ++joinsGrewCount;
    });
    std::vector<long long> ticks;
    ticks.reserve(100000);
    QObject::connect(form1->indicator(), &TitleIndicator::titleChanged, &application,
                     [&] { ticks.push_back(monotonicNs()); });

    PaintRecorder logPaints;
    logPaints.paints.reserve(200000);
    form1->list1()->viewport()->installEventFilter(&logPaints);

    const int chatSocket = Bench::socketOf(chatPort);
    const auto countersBefore = Bench::udpCounters();
    const long long rssBeforeKiB = rssKiBNow();
    const long long floodStartNs = monotonicNs() + leadNs;
    const long long floodEndNs = floodStartNs + (chatMode ? floodNs : 0);

    RssSampler rss(100000000LL);

    // The user: types a line and presses Return at each offset. Events are posted from this thread,
    // as the window system would queue them, whatever the window's thread is busy with.
    // The events are made here: a key event looks up the keyboard device, which must not be created
    // on another thread. Those never posted are deleted at the end.
    std::vector<long long> postedNs(size_t(userLineOffsets.size()), 0);
    std::vector<std::pair<QKeyEvent *, QKeyEvent *>> keys;
    for (int i = 0; i < userLineOffsets.size(); ++i) {
        keys.push_back({new QKeyEvent(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier,
                                      userLinePrefix + QString::number(i + 1)),
                        new QKeyEvent(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier)});
    }
    StopFlag userStop;
    std::thread user([&] {
        for (size_t i = 0; i < keys.size(); ++i) {
            if (!userStop.sleepUntil(floodStartNs + (long long)(userLineOffsets.at(qsizetype(i)) * 1e9)))
                return;
            postedNs[i] = monotonicNs();
            QCoreApplication::postEvent(input, std::exchange(keys[i].first, nullptr));
            QCoreApplication::postEvent(input, std::exchange(keys[i].second, nullptr));
        }
    });

    QTimer watchdog;
    QObject::connect(&watchdog, &QTimer::timeout, &application, [&] {
        const long long now = monotonicNs();
        if (now - floodStartNs > timeoutNs) {
            application.quit();
            return;
        }
        if (chatMode) {
            const bool usersDone = std::all_of(userLineOwnLogNs.begin(), userLineOwnLogNs.end(),
                                               [](long long ns) { return ns != 0; });
            const long long quietSince = std::max(lastGrowNs, floodEndNs);
            if (now > floodEndNs && now - quietSince > idleNs && (usersDone || now - quietSince > 3 * idleNs))
                application.quit();
        } else {
            const bool allListed = markerShownNs && participants->size() >= expectJoins;
            if (allListed || (lastGrowNs && now - lastGrowNs > idleNs))
                application.quit();
        }
    });
    watchdog.start(100);

    std::printf("ready: %s, chat port %u, chat socket's receive buffer %d bytes, flood-start-ns %lld\n",
                qUtf8Printable(module1.record().localIp), chatPort, Bench::receiveBufferOf(chatSocket),
                floodStartNs);
    std::fflush(stdout);
    application.exec();
    const long long endNs = monotonicNs();

    userStop.stop();
    user.join();
    for (auto &[text, enter] : keys) {
        delete text;
        delete enter;
    }
    rss.stop();
    const auto countersAfter = Bench::udpCounters();
    const auto delta = [&](const char *name) {
        return countersAfter.value(name) - countersBefore.value(name);
    };

    const Bench::SocketRow chatRow = Bench::socketRowOf(chatPort);
    const Bench::SocketRow presenceRow = Bench::socketRowOf(Datagram::presencePort);
    std::printf("kernel: chat socket %lld datagrams dropped, %lld bytes still queued; presence socket %lld "
                "dropped, %lld bytes queued; namespace UDP counters during the run: InDatagrams %lld, "
                "RcvbufErrors %lld, InErrors %lld\n",
                chatRow.drops, chatRow.receiveQueue, presenceRow.drops, presenceRow.receiveQueue,
                delta("InDatagrams"), delta("RcvbufErrors"), delta("InErrors"));
    std::printf("log: %lld rows inserted in %lld batches (largest %lld), holds %d entries at the end\n",
                rowsInserted, grewCount, largestBatch, log->size());

    // Memory.
    const auto &samples = rss.samples();
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
        samples.size(), rssBeforeKiB / 1024.0, maxKiB / 1024.0, seconds(maxAtNs - floodStartNs));
    {
        QStringList curve;
        long long stepNs = (long long)(rssStep * 1e9);
        long long intervalMax = 0;
        long long mark = floodStartNs + stepNs;
        long long lastKiB = -1;
        for (const RssSample &s : samples) {
            if (s.ns < floodStartNs)
                continue;
            while (s.ns >= mark) {
                curve.append(QStringLiteral("%1 s: %2 (max %3)")
                                 .arg(seconds(mark - floodStartNs), 0, 'f', 0)
                                 .arg(lastKiB / 1024.0, 0, 'f', 1)
                                 .arg(intervalMax / 1024.0, 0, 'f', 1));
                intervalMax = 0;
                mark += stepNs;
            }
            intervalMax = std::max(intervalMax, s.kib);
            lastKiB = s.kib;
        }
        curve.append(QStringLiteral("end %1 s: %2 (max %3)")
                         .arg(seconds(endNs - floodStartNs), 0, 'f', 1)
                         .arg(lastKiB / 1024.0, 0, 'f', 1)
                         .arg(intervalMax / 1024.0, 0, 'f', 1));
        std::printf("rss curve, MiB at each step from the flood's start (max in the step before): %s\n",
                    qUtf8Printable(curve.join(QStringLiteral(", "))));
    }

    // The title marquee: the largest gaps between ticks from the flood's start to the end of the run.
    {
        std::vector<std::pair<long long, long long>> gaps; // gap, time of the tick that ended it
        long long previous = floodStartNs;
        int ticksInRun = 0;
        for (long long tick : ticks) {
            if (tick < floodStartNs)
                continue;
            ++ticksInRun;
            gaps.push_back({tick - previous, tick});
            previous = tick;
        }
        gaps.push_back({endNs - previous, endNs});
        std::sort(gaps.begin(), gaps.end(), std::greater<>());
        QStringList largest;
        for (size_t i = 0; i < std::min<size_t>(5, gaps.size()); ++i)
            largest.append(QStringLiteral("%1 ms ending at %2 s")
                               .arg(double(gaps[i].first) / 1e6, 0, 'f', 0)
                               .arg(seconds(gaps[i].second - floodStartNs), 0, 'f', 1));
        // Within the flood alone (chat mode): gaps that end before the flood's end, plus the one
        // that spans it.
        long long floodMax = 0;
        int over750 = 0;
        int over1500 = 0;
        QStringList longGaps;
        if (chatMode) {
            const auto gap = [&](long long from, long long to) {
                const long long ns = to - from;
                floodMax = std::max(floodMax, ns);
                over750 += ns > 750000000LL;
                over1500 += ns > 1500000000LL;
                if (ns > 750000000LL && longGaps.size() < 10)
                    longGaps.append(QStringLiteral("%1 ms from %2 s")
                                        .arg(double(ns) / 1e6, 0, 'f', 0)
                                        .arg(seconds(from - floodStartNs), 0, 'f', 1));
            };
            long long prev = floodStartNs;
            for (long long tick : ticks) {
                if (tick < floodStartNs)
                    continue;
                gap(prev, std::min(tick, floodEndNs));
                prev = tick;
                if (tick >= floodEndNs)
                    break;
            }
            if (prev < floodEndNs)
                gap(prev, std::min(endNs, floodEndNs));
            std::printf("marquee during the flood: %d gaps over 750 ms, %d over 1500 ms%s%s\n", over750,
                        over1500, longGaps.isEmpty() ? "" : ": ",
                        qUtf8Printable(longGaps.join(QStringLiteral(", "))));
        }
        std::printf("marquee: %d title changes from the flood's start to the end (%.1f s); largest gaps "
                    "(counting from the flood's start and to the end of the run): %s\n",
                    ticksInRun, seconds(endNs - floodStartNs),
                    qUtf8Printable(largest.join(QStringLiteral(", "))));
        if (chatMode)
            std::printf("marquee-max-gap-during-flood-ms %.0f\n", double(floodMax) / 1e6);
    }

    {
        // Paints of the log from the flood's start to the end of the flood (chat) or of the run.
        const long long until = chatMode ? floodEndNs : endNs;
        long long previous = floodStartNs;
        long long largest = 0;
        int count = 0;
        for (long long paint : logPaints.paints) {
            if (paint < floodStartNs || paint > until)
                continue;
            ++count;
            largest = std::max(largest, paint - previous);
            previous = paint;
        }
        largest = std::max(largest, std::min(until, endNs) - previous);
        std::printf("log view: %d paints from the flood's start to %s (%.1f s), largest gap %.0f ms\n", count,
                    chatMode ? "its end" : "the end of the run",
                    seconds(std::min(until, endNs) - floodStartNs), double(largest) / 1e6);
    }

    if (chatMode) {
        std::printf(
            "flood lines shown %lld (highest number %lld); first shown %+.3f s, last shown %+.3f s from "
            "the flood's start (flood length %.1f s)\n",
            floodShown, highestFlood, firstFloodShownNs ? seconds(firstFloodShownNs - floodStartNs) : 0.0,
            lastFloodShownNs ? seconds(lastFloodShownNs - floodStartNs) : 0.0, seconds(floodNs));
        std::printf("flood-shown %lld\n", floodShown);
        for (size_t i = 0; i < postedNs.size(); ++i) {
            std::printf("user-line %zu posted-ns %lld own-log-ns %lld\n", i + 1, postedNs[i],
                        userLineOwnLogNs[i]);
        }
    } else {
        int listed = 0;
        for (int row = 0; row < participants->size(); ++row) {
            if (participants->at(row).startsWith(QLatin1String("join")))
                ++listed;
        }
        std::printf("joins listed %d of %d (participant list holds %d), in %lld list updates; last listed "
                    "%+.3f s from the flood's start\n",
                    listed, expectJoins, participants->size(), joinsGrewCount,
                    lastJoinListedNs ? seconds(lastJoinListedNs - floodStartNs) : 0.0);
        std::printf("joins-listed %d\nline-shown-ns %lld\n", listed, markerShownNs);
    }
    std::printf("messages shown: %d\n", messages.shown);
    return messages.shown == 0 ? 0 : 3;
}
