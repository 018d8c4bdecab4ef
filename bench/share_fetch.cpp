// The receiving side of a shared file, for bench/share_memory.sh: the program's own downloader
// (Transfers, no store, timers on the event loop) fetches one link into a folder while a thread
// samples this process's VmRSS every 100 ms, idle before the start and during the download.
// Prints goodput, CPU time, the VmRSS figures and whether the SHA-256 the sender announced was
// checked and matched; exits non-zero when the download failed, or when the sender announced no
// digest (nothing would have been checked). Runs only inside a bench network namespace.
//
//   bench_share_fetch <url> <folder> [--idle-ms 1000] [--timeout-s 900] [--expect-sha256 HEX]
#include "base/systemscheduler.h"
#include "benchmain.h"
#include "clocks.h"
#include "processmemory.h"
#include "share/httpfields.h"
#include "share/transfers.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <sys/resource.h>
#include <thread>
#include <vector>

namespace {

struct Sample
{
    long long ns = 0;
    long long kib = 0;
};

// VmRSS every 100 ms on a thread of its own, so that a busy event loop cannot hide a peak.
class RssSampler
{
public:
    RssSampler()
        : m_thread([this] {
              while (!m_stop) {
                  const Sample sample{Bench::monotonicNs(), Bench::rssKiB()};
                  {
                      const std::lock_guard lock(m_mutex);
                      m_samples.push_back(sample);
                  }
                  std::this_thread::sleep_for(std::chrono::milliseconds(100));
              }
          })
    {
    }
    ~RssSampler() { stop(); }

    void stop()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
    }

    std::vector<Sample> between(long long fromNs, long long toNs) const
    {
        const std::lock_guard lock(m_mutex);
        std::vector<Sample> chosen;
        for (const Sample &sample : m_samples) {
            if (sample.ns >= fromNs && sample.ns <= toNs)
                chosen.push_back(sample);
        }
        return chosen;
    }

private:
    mutable std::mutex m_mutex;
    std::vector<Sample> m_samples;
    std::atomic_bool m_stop{false};
    std::thread m_thread;
};

double cpuSeconds()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// The window's thread alone: what the event loop spends, beside the threads of Qt and the hashing.
double threadCpuSeconds()
{
    timespec spent{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &spent);
    return double(spent.tv_sec) + double(spent.tv_nsec) / 1e9;
}

long long median(std::vector<long long> values)
{
    if (values.empty())
        return -1;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    QCommandLineParser parser;
    parser.addPositionalArgument(QStringLiteral("url"), QStringLiteral("the link, http://HOST:PORT/f/CODE"));
    parser.addPositionalArgument(QStringLiteral("folder"), QStringLiteral("where the file is saved"));
    const QCommandLineOption idleOption(QStringLiteral("idle-ms"),
                                        QStringLiteral("idle sampling before the start"),
                                        QStringLiteral("ms"), QStringLiteral("1000"));
    const QCommandLineOption timeoutOption(QStringLiteral("timeout-s"), QStringLiteral("give up after"),
                                           QStringLiteral("seconds"), QStringLiteral("900"));
    const QCommandLineOption expectOption(QStringLiteral("expect-sha256"),
                                          QStringLiteral("the digest the sender must announce"),
                                          QStringLiteral("hex"));
    if (!Bench::parseCommandLine(parser, {idleOption, timeoutOption, expectOption}, Bench::Lan::Namespaces))
        return 2;
    if (parser.positionalArguments().size() != 2) {
        std::fprintf(stderr, "usage: bench_share_fetch <url> <folder> [options]\n");
        return 2;
    }
    const QUrl url(parser.positionalArguments().at(0));
    const QString folder = parser.positionalArguments().at(1);

    QNetworkAccessManager network;
    SystemScheduler scheduler;
    Transfers transfers(nullptr, network, scheduler, [] { return QDateTime::currentMSecsSinceEpoch(); });

    // What the sender announces, asked once before the idle samples so that the network thread and
    // its connection already exist when the idle figure is taken.
    QByteArray announced;
    qint64 announcedSize = -1;
    {
        QNetworkRequest request(url);
        request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
        QNetworkReply *head = network.head(request);
        QObject::connect(head, &QNetworkReply::finished, &application, &QCoreApplication::quit);
        application.exec();
        if (head->error() != QNetworkReply::NoError) {
            std::fprintf(stderr, "HEAD %s: %s\n", qUtf8Printable(url.toString()),
                         qUtf8Printable(head->errorString()));
            return 1;
        }
        announced = HttpFields::parseReprDigest(head->rawHeader("Repr-Digest"));
        announcedSize = head->header(QNetworkRequest::ContentLengthHeader).toLongLong();
        head->deleteLater();
    }
    if (announced.isEmpty()) {
        std::fprintf(stderr, "the sender announces no Repr-Digest: the download would not be checked\n");
        return 3;
    }
    if (parser.isSet(expectOption) && announced.toHex() != parser.value(expectOption).toLatin1().toLower()) {
        std::fprintf(stderr, "the sender announces sha-256 %s, expected %s\n", announced.toHex().constData(),
                     qUtf8Printable(parser.value(expectOption)));
        return 3;
    }

    RssSampler sampler;
    const int idleMs = parser.value(idleOption).toInt();
    QTimer::singleShot(idleMs, &application, &QCoreApplication::quit);
    application.exec();

    const QString target = QDir(folder).filePath(QStringLiteral("fetched.bin"));
    long long startNs = 0;
    long long lastByteNs = 0;
    long long endNs = 0;
    double cpuAtStart = 0;
    double cpuAtLastByte = 0;
    double cpuAtEnd = 0;
    double threadCpuAtStart = 0;
    double threadCpuAtLastByte = 0;
    qint64 received = 0;
    int interruptions = 0;
    int exitCode = 1;
    QString outcome;
    QString savedAs;

    QObject::connect(&transfers, &Transfers::changed, &application, [&](int id) {
        const auto status = transfers.status(id);
        if (!status)
            return;
        received = status->received;
        if (!lastByteNs && status->total > 0 && status->received == status->total) {
            lastByteNs = Bench::monotonicNs();
            cpuAtLastByte = cpuSeconds();
            threadCpuAtLastByte = threadCpuSeconds();
        }
        if (status->state == TransferState::WaitingForSender || status->state == TransferState::Paused) {
            ++interruptions;
            std::fprintf(stderr, "interrupted at %lld bytes: %s\n", status->received,
                         qUtf8Printable(status->reason));
        }
    });
    QObject::connect(&transfers, &Transfers::finished, &application, [&](int, const QString &path) {
        endNs = Bench::monotonicNs();
        cpuAtEnd = cpuSeconds();
        savedAs = path;
        outcome = QStringLiteral("passed");
        exitCode = 0;
        application.quit();
    });
    QObject::connect(&transfers, &Transfers::failed, &application, [&](int, const QString &reason) {
        endNs = Bench::monotonicNs();
        cpuAtEnd = cpuSeconds();
        outcome = QStringLiteral("FAILED: ") + reason;
        application.quit();
    });
    QTimer::singleShot(parser.value(timeoutOption).toInt() * 1000, &application, [&] {
        endNs = Bench::monotonicNs();
        cpuAtEnd = cpuSeconds();
        outcome = QStringLiteral("FAILED: not finished in time");
        application.quit();
    });

    startNs = Bench::monotonicNs();
    cpuAtStart = cpuSeconds();
    threadCpuAtStart = threadCpuSeconds();
    transfers.start(url, target);
    application.exec();
    sampler.stop();

    std::vector<long long> idle;
    for (const Sample &sample : sampler.between(0, startNs))
        idle.push_back(sample.kib);
    long long peak = -1;
    for (const Sample &sample : sampler.between(startNs, endNs))
        peak = std::max(peak, sample.kib);
    const long long idleKiB = median(idle);
    if (!lastByteNs) {
        lastByteNs = endNs;
        cpuAtLastByte = cpuAtEnd;
    }
    const double transferSeconds = double(lastByteNs - startNs) / 1e9;
    const double totalSeconds = double(endNs - startNs) / 1e9;

    std::printf("file: %lld bytes announced, sha-256 %s\n", announcedSize, announced.toHex().constData());
    std::printf(
        "received %lld bytes in %.2f s to the last byte: %.1f MB/s; finished (checked, synced, renamed) "
        "after %.2f s\n",
        static_cast<long long>(received), transferSeconds,
        transferSeconds > 0 ? double(received) / transferSeconds / 1e6 : 0.0, totalSeconds);
    std::printf("CPU: %.2f s to the last byte, %.2f s to the end\n", cpuAtLastByte - cpuAtStart,
                cpuAtEnd - cpuAtStart);
    std::printf("CPU of the window's thread: %.2f s to the last byte\n",
                threadCpuAtLastByte - threadCpuAtStart);
    std::printf("VmRSS: idle %lld KiB (median of %zu samples), peak during %lld KiB: %+lld KiB\n", idleKiB,
                idle.size(), peak, peak - idleKiB);
    std::printf("interruptions: %d\n", interruptions);
    std::printf("digest check: %s%s\n", qUtf8Printable(outcome),
                savedAs.isEmpty() ? "" : qUtf8Printable(QStringLiteral(" (saved as %1)").arg(savedAs)));
    std::printf("result bytes=%lld seconds=%.3f cpu=%.2f rss_idle=%lld rss_peak=%lld digest=%s\n",
                static_cast<long long>(received), transferSeconds, cpuAtLastByte - cpuAtStart, idleKiB, peak,
                exitCode == 0 ? "passed" : "failed");
    return exitCode;
}
