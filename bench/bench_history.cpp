// The history's figures on a file of 1,000,000 lines of mixed Japanese and Latin text
// (support/historycorpus.h): storing, size on disk, searches of 3 and more characters and of 1 and
// 2 characters, the newest lines of a freshly opened file, pruning from 10 % over the budget, and
// clearing while another instance stores a line every 10 ms. Run by hand; see README.md.
//
//   bench_history [--lines N] [--dir FOLDER] [--keep PATH] [--cache-kib N]
//
// --keep: only the storing, into a new file at PATH that is left behind (the chat flood's
// benchmark starts an instance on such a file).
// --cache-kib: stores with another page cache than the history's writer has (0: SQLite's own).

#include "history/history.h"
#include "history/historystore.h"
#include "historycorpus.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTemporaryDir>

#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

namespace {

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

double cpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double msSince(const QElapsedTimer &timer)
{
    return double(timer.nsecsElapsed()) / 1e6;
}

std::vector<double> timeQueries(HistoryStore &store, const QStringList &queries, int rounds, bool print)
{
    std::vector<double> times;
    for (int round = 0; round < rounds; ++round) {
        for (const QString &query : queries) {
            QElapsedTimer timer;
            timer.start();
            const HistoryLines found = store.search(query, 200);
            times.push_back(msSince(timer));
            if (print && round == 0)
                std::printf("    %-14s %4lld results  %8.1f ms\n", qPrintable(query), qlonglong(found.size()),
                            times.back());
        }
    }
    return times;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    qint64 total = 1000000;
    if (const qsizetype at = arguments.indexOf(QStringLiteral("--lines"));
        at > 0 && at + 1 < arguments.size())
        total = arguments.at(at + 1).toLongLong();
    QString folder;
    if (const qsizetype at = arguments.indexOf(QStringLiteral("--dir")); at > 0 && at + 1 < arguments.size())
        folder = arguments.at(at + 1);
    // The lines are stored with the page cache the history's writer has, unless told otherwise
    // (0: SQLite's own).
    int cacheKiB = History::Options{}.writerCacheKiB;
    if (const qsizetype at = arguments.indexOf(QStringLiteral("--cache-kib"));
        at > 0 && at + 1 < arguments.size())
        cacheKiB = arguments.at(at + 1).toInt();
    QString keep;
    if (const qsizetype at = arguments.indexOf(QStringLiteral("--keep")); at > 0 && at + 1 < arguments.size())
        keep = arguments.at(at + 1);
    if (!keep.isEmpty() && QFileInfo::exists(keep)) {
        std::fprintf(stderr, "%s exists already\n", qPrintable(keep));
        return 2;
    }
    QTemporaryDir temporary(folder.isEmpty() ? QDir::tempPath() + QStringLiteral("/bench_history-XXXXXX")
                                             : folder + QStringLiteral("/bench_history-XXXXXX"));
    const QString path = keep.isEmpty() ? temporary.filePath(QStringLiteral("history.sqlite")) : keep;

    HistoryStore store(HistoryStore::Options{HistoryStore::Options{}.busyTimeoutMs, cacheKiB});
    if (store.open(path).problem != HistoryProblem::None) {
        std::fprintf(stderr, "cannot open %s\n", qPrintable(path));
        return 1;
    }
    Bench::HistoryCorpus corpus;
    const qint64 start = Bench::HistoryCorpus::firstTimeMs;
    constexpr int batch = 1000;
    // Only the storing is timed, not the making of the lines.
    qint64 storingNs = 0;
    double storeCpu = 0;
    for (qint64 n = 0; n < total; n += batch) {
        HistoryLines lines;
        for (qint64 i = n; i < std::min(total, n + batch); ++i)
            lines.append(corpus.next());
        QElapsedTimer storing;
        storing.start();
        const double cpuBefore = cpuSeconds();
        if (!store.insert(lines)) {
            std::fprintf(stderr, "insert failed: %s\n", qPrintable(store.detail()));
            return 1;
        }
        storeCpu += cpuSeconds() - cpuBefore;
        storingNs += storing.nsecsElapsed();
    }
    const double storeSeconds = double(storingNs) / 1e9;
    // On a shared machine the wall clock also counts other jobs' turns; the CPU time does not.
    std::printf(
        "stored %lld lines in %.1f s: %.0f lines/s (batches of %d, page cache %d KiB); CPU %.1f s: %.0f "
        "lines per CPU second\n",
        qlonglong(total), storeSeconds, double(total) / storeSeconds, batch, cacheKiB, storeCpu,
        double(total) / storeCpu);
    store.close();
    if (!keep.isEmpty()) {
        // Closing the last connection has emptied the journal into the file.
        std::printf("kept %s: %lld lines, %.1f MiB\n", qPrintable(keep), qlonglong(total),
                    double(QFileInfo(keep).size()) / 1048576);
        return 0;
    }

    qint64 bytes = 0;
    for (const QFileInfo &file : QDir(temporary.path()).entryInfoList(QDir::Files))
        bytes += file.size();
    std::printf("size on disk: %.1f MiB (%.1f MiB per million lines), file and journal\n",
                double(bytes) / 1048576, double(bytes) / 1048576 * 1e6 / double(total));

    // A fresh connection, as the window's first request after start-up meets it.
    QElapsedTimer opening;
    opening.start();
    HistoryStore reader;
    reader.open(path, false);
    const HistoryLines newest = reader.newest(500);
    std::printf("open and newest 500 lines: %.1f ms (%lld lines)\n", msSince(opening),
                qlonglong(newest.size()));

    const QStringList long3 = {
        QStringLiteral("会議室"),   QStringLiteral("お願いします"), QStringLiteral("打ち合わせ"),
        QStringLiteral("deploy"),   QStringLiteral("SERVER"),       QStringLiteral("再起動して"),
        QStringLiteral("見積もり"), QStringLiteral("room 42"),      QStringLiteral("社員17"),
        QStringLiteral("三時から"), QStringLiteral("xyzzy"),        QStringLiteral("了解です123")};
    const QStringList short12 = {QStringLiteral("会議"), QStringLiteral("三時"), QStringLiteral("資料"),
                                 QStringLiteral("ok"),   QStringLiteral("先方"), QStringLiteral("明"),
                                 QStringLiteral("休"),   QStringLiteral("to"),   QStringLiteral("鯨"),
                                 QStringLiteral("鶴")};
    std::printf("search, 3 or more characters (first 200, newest first):\n");
    const std::vector<double> times3 = timeQueries(reader, long3, 5, true);
    std::printf("  median %.1f ms, max %.1f ms over %zu searches\n", median(times3),
                *std::max_element(times3.begin(), times3.end()), times3.size());
    std::printf("search, 1 or 2 characters (first 200, newest first):\n");
    const std::vector<double> times12 = timeQueries(reader, short12, 5, true);
    std::printf("  median %.1f ms, max %.1f ms over %zu searches\n", median(times12),
                *std::max_element(times12.begin(), times12.end()), times12.size());

    // Pruning from 10 % over the budget: what goes, against the excess.
    const qint64 used = reader.usedBytes();
    const qint64 budget = used * 10 / 11;
    const qint64 before = reader.count();
    QElapsedTimer pruning;
    pruning.start();
    const HistoryStore::BudgetResult pruned = reader.pruneToBudget(budget);
    std::printf(
        "prune from 10 %% over the budget (%.1f MiB in use, budget %.1f MiB): removed %lld of %lld lines "
        "(%.1f %%, excess %.1f %% of the size); %.1f MiB in use after (%.1f %% of the budget); %.1f s\n",
        double(used) / 1048576, double(budget) / 1048576, qlonglong(pruned.removed), qlonglong(before),
        100.0 * double(pruned.removed) / double(before), 100.0 * double(used - budget) / double(used),
        double(pruned.usedAfter) / 1048576, 100.0 * double(pruned.usedAfter) / double(budget),
        msSince(pruning) / 1000);

    // Clearing while another instance stores a line every 10 ms: its longest wait.
    std::atomic<bool> clearing{true};
    std::atomic<qint64> longestWaitNs{0};
    std::atomic<int> storedMeanwhile{0};
    std::thread other([&] {
        HistoryStore sibling;
        if (sibling.open(path, false).problem != HistoryProblem::None)
            return;
        HistoryLine line;
        line.timeMs = start;
        line.name = QStringLiteral("other");
        line.text = QStringLiteral("stored while clearing");
        while (clearing) {
            QElapsedTimer waited;
            waited.start();
            if (sibling.insert({line}))
                ++storedMeanwhile;
            longestWaitNs = std::max<qint64>(longestWaitNs, waited.nsecsElapsed());
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    });
    QElapsedTimer clearTimer;
    clearTimer.start();
    const HistoryStore::ClearResult cleared = reader.clear();
    const double clearMs = msSince(clearTimer);
    clearing = false;
    other.join();
    std::printf(
        "clear: %s in %.1f s; the other instance stored %d lines meanwhile, its longest wait %.1f ms\n",
        cleared == HistoryStore::ClearResult::Done ? "done" : "not complete", clearMs / 1000,
        storedMeanwhile.load(), double(longestWaitNs.load()) / 1e6);
    return 0;
}
