// The sender of a shared file types chat lines while receivers download it, or the receiver of a
// drop point while others upload into it: one real instance (Module1 with the real UDP network and
// file sharing on, window on the offscreen platform) shares a file (--file) or opens a drop point
// into a folder (--drop-point) as the program does and prints its link; from a thread of its own,
// at each --user-lines-at
// offset from the start it names, it posts a typed text "userline N" and a Return key press to the
// input line, as the window system would queue them whatever the window's thread is busy with.
// Refuses to run outside a bench network namespace (see support/netnsguard.h). Run by
// bench_share_typing.sh, which starts the downloads and times the lines' arrival on another host.
//
//   bench_share_typing --file PATH | --drop-point FOLDER [--user-lines-at 1,2,3] [--lead 2] [--end-at 10]
//       [--timeout 300]
//
// Prints "link URL" and "ready start-ns NS" (CLOCK_MONOTONIC, shared by every namespace of the
// kernel), then at the end "user-line N posted-ns NS transfers-running R taken-ns NS": R the
// downloads the server was sending and the uploads it was writing when the line was typed (sampled
// every 20 ms on the window's thread, the first sample after the post), taken when the window's
// thread took the Return key. Ends --end-at seconds after the start once no transfer is running, or
// at --timeout.

#include "app/sharedfiles.h"
#include "benchinstance.h"
#include "benchmain.h"
#include "clocks.h"
#include "history/history.h"
#include "share/shareserver.h"
#include "ui/filedownloads.h"
#include "ui/form1.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDeadlineTimer>
#include <QKeyEvent>
#include <QLineEdit>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

namespace {

using Bench::monotonicNs;

// The user: the key events are made on the window's thread (a key event looks up the keyboard
// device, which must not be created on another thread) and posted from a thread of its own.
class User
{
public:
    User(QLineEdit *input, const QList<double> &offsets, long long startNs) : postedNs(size_t(offsets.size()))
    {
        for (int i = 0; i < offsets.size(); ++i) {
            m_keys.push_back({new QKeyEvent(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier,
                                            QStringLiteral("userline ") + QString::number(i + 1)),
                              new QKeyEvent(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier)});
        }
        m_thread = std::thread([this, input, offsets, startNs] {
            for (size_t i = 0; i < m_keys.size() && !m_stop; ++i) {
                Bench::sleepUntilMonotonicNs(startNs + (long long)(offsets.at(qsizetype(i)) * 1e9));
                postedNs[i] = monotonicNs();
                QCoreApplication::postEvent(input, std::exchange(m_keys[i].first, nullptr));
                QCoreApplication::postEvent(input, std::exchange(m_keys[i].second, nullptr));
            }
        });
    }
    ~User()
    {
        m_stop = true;
        m_thread.join();
        for (auto &[text, enter] : m_keys) {
            delete text;
            delete enter;
        }
    }

    std::vector<std::atomic<long long>> postedNs;

private:
    std::vector<std::pair<QKeyEvent *, QKeyEvent *>> m_keys;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

// Times when the window's thread takes each Return key press from its queue: what it leaves
// of the time to the arrival is the sending and the network.
class ReturnRecorder : public QObject
{
public:
    using QObject::QObject;
    std::vector<long long> takenNs;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::KeyPress && static_cast<QKeyEvent *>(event)->key() == Qt::Key_Return)
            takenNs.push_back(monotonicNs());
        return QObject::eventFilter(watched, event);
    }
};

struct RunningSample
{
    long long ns;
    int running;
};

// Waits on the event loop until the condition holds or the milliseconds have passed.
template <typename Condition> bool waitFor(Condition condition, int ms)
{
    const QDeadlineTimer deadline(ms);
    while (!condition() && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(10);
    }
    return condition();
}

} // namespace

int main(int argc, char *argv[])
{
    Bench::preferOffscreen();
    QApplication application(argc, argv);
    QCommandLineParser parser;
    const QCommandLineOption fileOption(QStringLiteral("file"), QStringLiteral("The file to share."),
                                        QStringLiteral("path"));
    const QCommandLineOption dropPointOption(QStringLiteral("drop-point"),
                                             QStringLiteral("Open a drop point into this folder instead."),
                                             QStringLiteral("folder"));
    const QCommandLineOption userLinesOption(QStringLiteral("user-lines-at"),
                                             QStringLiteral("Seconds after the start to type a line at."),
                                             QStringLiteral("list"), QStringLiteral("1,2,3"));
    const QCommandLineOption leadOption(QStringLiteral("lead"),
                                        QStringLiteral("Seconds from ready to the start."),
                                        QStringLiteral("s"), QStringLiteral("2"));
    const QCommandLineOption endOption(
        QStringLiteral("end-at"), QStringLiteral("Seconds after the start to end at, once no download runs."),
        QStringLiteral("s"), QStringLiteral("10"));
    const QCommandLineOption timeoutOption(QStringLiteral("timeout"),
                                           QStringLiteral("Seconds after the start to end at the latest."),
                                           QStringLiteral("s"), QStringLiteral("300"));
    if (!Bench::parseCommandLine(
            parser, {fileOption, dropPointOption, userLinesOption, leadOption, endOption, timeoutOption},
            Bench::Lan::Namespaces))
        return 2;
    QList<double> offsets;
    for (const QString &piece : parser.value(userLinesOption).split(QLatin1Char(','), Qt::SkipEmptyParts))
        offsets.append(piece.toDouble());
    if (parser.value(fileOption).isEmpty() == parser.value(dropPointOption).isEmpty()) {
        std::fprintf(stderr, "either --file or --drop-point is needed\n");
        return 2;
    }

    Bench::UdpInstance instance(true);
    Module1 &module1 = instance.module1;
    if (!module1.Main())
        return 1;
    Form1 *form1 = module1.form1();
    Bench::waitUntilExposed(form1);
    // Sharing starts once the history's file was opened; its server starts with the first share.
    if (!waitFor([&] { return module1.sharedFiles() != nullptr; }, 60000)) {
        std::fprintf(stderr, "file sharing did not start (history state %d)\n",
                     module1.history() ? int(module1.history()->state()) : -1);
        return 1;
    }
    SharedFiles &files = *module1.sharedFiles();
    FileSharing::Offer offer;
    if (parser.isSet(dropPointOption)) {
        // No limit that a run could reach: the drop point counts every upload it took.
        const auto opened =
            files.sharing().openDropPoint(parser.value(dropPointOption), ShareLifetime::OneHour, {},
                                          QStringLiteral("bench"), qint64(1) << 40);
        offer = {opened.line, opened.error};
    } else {
        offer = files.sharing().offer(parser.value(fileOption), ShareLifetime::OneDay, {});
    }
    if (offer.line.isEmpty()) {
        std::fprintf(stderr, "nothing was shared: %s\n", qUtf8Printable(offer.error));
        return 1;
    }
    const qsizetype linkAt = offer.line.indexOf(QLatin1String("http://"));
    std::printf("share line: %s\nlink %s\n", qUtf8Printable(offer.line),
                qUtf8Printable(offer.line.mid(linkAt).section(QLatin1Char(' '), 0, 0)));

    const long long startNs = monotonicNs() + (long long)(parser.value(leadOption).toDouble() * 1e9);
    const long long endNs = startNs + (long long)(parser.value(endOption).toDouble() * 1e9);
    const long long timeoutNs = startNs + (long long)(parser.value(timeoutOption).toDouble() * 1e9);
    std::vector<RunningSample> samples;
    samples.reserve(20000);
    QTimer sampler;
    QObject::connect(&sampler, &QTimer::timeout, &application, [&] {
        const long long now = monotonicNs();
        const QList<TransferRow> transfers = files.downloads().transfers();
        const int running = int(files.server()->running().size()) +
                            int(std::count_if(transfers.begin(), transfers.end(), [](const TransferRow &row) {
                                return !row.from.isEmpty() && row.state == TransferRow::State::Running;
                            }));
        samples.push_back({now, running});
        if ((now > endNs && running == 0) || now > timeoutNs)
            application.quit();
    });
    sampler.start(20);
    ReturnRecorder returns;
    form1->text1()->installEventFilter(&returns);
    std::optional<User> user;
    user.emplace(form1->text1(), offsets, startNs);
    std::printf("ready %s start-ns %lld\n", qUtf8Printable(module1.record().localIp), startNs);
    std::fflush(stdout);
    application.exec();

    std::vector<long long> posted;
    for (const auto &ns : user->postedNs)
        posted.push_back(ns.load());
    user.reset();
    int most = 0;
    long long firstBusyNs = 0;
    long long lastBusyNs = 0;
    for (const RunningSample &sample : samples) {
        most = std::max(most, sample.running);
        if (sample.running > 0) {
            if (!firstBusyNs)
                firstBusyNs = sample.ns;
            lastBusyNs = sample.ns;
        }
    }
    std::printf("transfers: at most %d at once; running from %+.2f s to %+.2f s after the start\n", most,
                firstBusyNs ? double(firstBusyNs - startNs) / 1e9 : 0.0,
                lastBusyNs ? double(lastBusyNs - startNs) / 1e9 : 0.0);
    for (size_t i = 0; i < posted.size(); ++i) {
        const auto after = std::find_if(samples.begin(), samples.end(),
                                        [&](const RunningSample &sample) { return sample.ns >= posted[i]; });
        std::printf("user-line %zu posted-ns %lld transfers-running %d taken-ns %lld\n", i + 1, posted[i],
                    after == samples.end() ? -1 : after->running,
                    i < returns.takenNs.size() ? returns.takenNs[i] : 0LL);
    }
    std::printf("messages shown: %d\n", instance.messages.shown);
    return instance.messages.shown == 0 ? 0 : 3;
}
