// Times the chat log of one running instance as it grows: chat lines go from a second host on the
// in-memory LAN to the instance's chat socket and through the whole receive path (decoding,
// splitting, the log model, the visible list view laying out, scrolling to the end and painting).
//
//   QT_QPA_PLATFORM=offscreen bench_chatlog [--total N]
//   QT_QPA_PLATFORM=offscreen bench_chatlog --profile-at N [--profile-lines K]
//
// The second form fills the log to N entries and then feeds K lines one per pass inside
// profiledSegment(), for: valgrind --tool=callgrind --collect-atstart=no
// --toggle-collect='*profiledSegment*' bench_chatlog --profile-at N

#include "benchinstance.h"
#include "benchmain.h"
#include "net/chatsession.h"
#include "net/entrylistmodel.h"
#include "processmemory.h"
#include "ui/entrylistview.h"
#include "ui/form1.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QScrollBar>
#include <algorithm>
#include <cstdio>
#include <memory>
#include <optional>

namespace {

const QHostAddress broadcastAddress(QStringLiteral("198.18.0.255"));
constexpr quint16 chatPort = 1000;

// Counts the paints of the log's viewport, to show that the view really draws while it grows,
// and the batches of arrivals the log took (one scroll to the end each).
class PaintCounter : public QObject
{
public:
    using QObject::QObject;
    int paints = 0;
    int batches = 0;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Paint)
            ++paints;
        return QObject::eventFilter(watched, event);
    }
};

class Feeder
{
public:
    Feeder(VirtualLan &lan, DatagramSocket &sender, EntryListModel &log, EntryListView &view)
        : m_lan(lan), m_sender(sender), m_log(log), m_view(view), m_base(log.size())
    {
    }

    int fed() const { return m_sent; }

    // One event-loop pass's worth of arrivals: the datagrams wait on the socket together and are
    // handed over in one pass, then the loop runs on until the view has painted.
    bool pass(int lines)
    {
        for (int i = 0; i < lines; ++i) {
            ++m_sent;
            const QByteArray payload = "benchB\tline " + QByteArray::number(m_sent) + "\t198.18.0.2";
            if (!m_sender.sendTo(payload, broadcastAddress, chatPort)) {
                std::fprintf(stderr, "send failed: %s\n", qUtf8Printable(m_sender.errorString()));
                return false;
            }
        }
        // The LAN keeps a record of every datagram; that is the harness's memory, not the log's.
        m_lan.clearSent();
        const QDeadlineTimer deadline(60000);
        while (m_log.size() < m_base + m_sent) {
            if (deadline.hasExpired()) {
                std::fprintf(stderr, "lines not delivered: log holds %d of %d\n", m_log.size() - m_base,
                             m_sent);
                return false;
            }
            QCoreApplication::processEvents();
        }
        // The arrival posted the repaint of the view; this pass draws it.
        QCoreApplication::processEvents();
        return true;
    }

    // Whether the newest entry is on screen and the scroll bar at its end.
    bool atBottom() const
    {
        const QModelIndex last = m_view.model()->index(m_log.size() - 1, 0);
        const QScrollBar *bar = m_view.verticalScrollBar();
        return bar->value() == bar->maximum() && m_view.viewport()->rect().contains(m_view.visualRect(last));
    }

private:
    VirtualLan &m_lan;
    DatagramSocket &m_sender;
    EntryListModel &m_log;
    EntryListView &m_view;
    int m_base;
    int m_sent = 0;
};

struct SegmentResult
{
    double msPer1000 = 0;
    int batches = 0;
    int paints = 0;
    bool atBottom = false;
};

// Feeds `lines` lines, `perPass` at a time, and times them.
std::optional<SegmentResult> timeSegment(Feeder &feeder, PaintCounter &counter, int perPass, int lines)
{
    const int paintsBefore = counter.paints;
    const int batchesBefore = counter.batches;
    QElapsedTimer timer;
    timer.start();
    for (int done = 0; done < lines; done += perPass) {
        if (!feeder.pass(std::min(perPass, lines - done)))
            return std::nullopt;
    }
    const qint64 ns = timer.nsecsElapsed();
    return SegmentResult{double(ns) / 1e6 / lines * 1000.0, counter.batches - batchesBefore,
                         counter.paints - paintsBefore, feeder.atBottom()};
}

[[gnu::noinline]] bool profiledSegment(Feeder &feeder, int lines)
{
    for (int i = 0; i < lines; ++i) {
        if (!feeder.pass(1))
            return false;
    }
    return true;
}

bool fillTo(Feeder &feeder, int entries)
{
    while (feeder.fed() < entries) {
        if (!feeder.pass(std::min(1000, entries - feeder.fed())))
            return false;
    }
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    Bench::preferOffscreen();
    QApplication application(argc, argv);
    QCommandLineParser parser;
    const QCommandLineOption totalOption(QStringLiteral("total"),
                                         QStringLiteral("Entries in the log at the end."),
                                         QStringLiteral("N"), QStringLiteral("100000"));
    const QCommandLineOption profileAtOption(
        QStringLiteral("profile-at"), QStringLiteral("Fill to N entries, then feed the profiled lines."),
        QStringLiteral("N"));
    const QCommandLineOption profileLinesOption(QStringLiteral("profile-lines"),
                                                QStringLiteral("Lines fed one per pass when profiling."),
                                                QStringLiteral("K"), QStringLiteral("200"));
    Bench::parseCommandLine(parser, {totalOption, profileAtOption, profileLinesOption}, Bench::Lan::InMemory);
    const int total = parser.value(totalOption).toInt();
    if (total < 24000) {
        std::fprintf(stderr, "--total must be at least 24000\n");
        return 2;
    }

    Bench::VirtualInstance bench;
    if (!bench.start())
        return 1;
    Form1 *form1 = bench.form1();
    VirtualLan &lan = bench.lan;
    const SystemClock &clock = bench.clock;

    auto sender = bench.hostB->createSocket();
    EntryListModel &log = *form1->session()->chatLog();
    EntryListView &view = *form1->list1();
    PaintCounter counter;
    view.viewport()->installEventFilter(&counter);
    QObject::connect(form1->session(), &ChatSession::chatLogGrew, &counter,
                     [&counter] { ++counter.batches; });
    Feeder feeder(lan, *sender, log, view);

    if (parser.isSet(profileAtOption)) {
        if (!fillTo(feeder, parser.value(profileAtOption).toInt()))
            return 1;
        const int lines = parser.value(profileLinesOption).toInt();
        QElapsedTimer timer;
        timer.start();
        if (!profiledSegment(feeder, lines))
            return 1;
        std::printf("profiled %d lines one per pass at %d entries: %.1f ms\n", lines, log.size() - lines,
                    double(timer.nsecsElapsed()) / 1e6);
        return 0;
    }

    std::printf("window %dx%d, log view %dx%d, platform %s, Qt %s\n", form1->width(), form1->height(),
                view.viewport()->width(), view.viewport()->height(),
                qUtf8Printable(QGuiApplication::platformName()), qVersion());
    {
        // Every logged line asks for the time of day; with TZ unset each call re-checks the zone file.
        const int calls = 100000;
        QElapsedTimer timer;
        timer.start();
        for (int i = 0; i < calls; ++i)
            clock.timeOfDay();
        std::printf("time of day (SystemClock, TZ %s): %.2f us per call\n",
                    qEnvironmentVariableIsSet("TZ") ? "set" : "unset",
                    double(timer.nsecsElapsed()) / 1e3 / calls);
    }

    const long long rssStart = Bench::rssKiB();
    const int logStart = log.size();
    struct Mode
    {
        int perPass;
        int lines;
    };
    const Mode modes[] = {{1, 1000}, {100, 2000}, {1000, 5000}};
    const int checkpointLines = 8000;
    const int checkpoints[] = {0, total / 2 - checkpointLines / 2, total - checkpointLines};
    const char *names[] = {"start", "middle", "end"};

    std::printf("\n%-7s %-14s %-9s %17s %8s %7s %9s\n", "where", "entries", "per pass", "ms per 1000 lines",
                "batches", "paints", "at bottom");
    QList<long long> rssAt;
    bool allAtBottom = true;
    for (int c = 0; c < 3; ++c) {
        QElapsedTimer fillTimer;
        fillTimer.start();
        const int fillFrom = feeder.fed();
        if (!fillTo(feeder, checkpoints[c]))
            return 1;
        if (feeder.fed() > fillFrom) {
            std::printf("(filled %d..%d at 1000 per pass: %.0f ms)\n", fillFrom + 1, feeder.fed(),
                        double(fillTimer.nsecsElapsed()) / 1e6);
        }
        for (const Mode &mode : modes) {
            const int first = feeder.fed() + 1;
            const auto result = timeSegment(feeder, counter, mode.perPass, mode.lines);
            if (!result)
                return 1;
            allAtBottom = allAtBottom && result->atBottom;
            std::printf("%-7s %6d..%-6d %-9d %17.1f %8d %7d %9s\n", names[c], first, feeder.fed(),
                        mode.perPass, result->msPer1000, result->batches, result->paints,
                        result->atBottom ? "yes" : "NO");
            std::fflush(stdout);
        }
        rssAt.append(Bench::rssKiB());
    }

    const int entries = log.size() - logStart;
    const auto perEntry = [](long long fromKiB, long long toKiB, int count) {
        return double(toKiB - fromKiB) * 1024.0 / count;
    };
    std::printf("\nentries fed %d, log holds %d, newest on screen at every check: %s\n", feeder.fed(),
                log.size(), allAtBottom ? "yes" : "NO");
    std::printf("entry example: \"%s\"\n",
                qUtf8Printable(log.at(log.size() - 1).replace(QLatin1Char('\t'), QStringLiteral("\\t"))));
    std::printf("VmRSS before the first line %lld KiB, after %d lines %lld KiB: %.0f bytes per entry\n",
                rssStart, entries, rssAt.last(), perEntry(rssStart, rssAt.last(), entries));
    std::printf("VmRSS from the middle checkpoint to the end (%d entries): %.0f bytes per entry\n",
                checkpoints[2] - checkpoints[1],
                perEntry(rssAt[1], rssAt[2], checkpoints[2] - checkpoints[1]));
    return bench.messages.shown == 0 && allAtBottom ? 0 : 1;
}
