// Times the participant list of one running instance as it grows: join notices, each with an
// address of its own, go from a second host on the in-memory LAN to the instance's presence socket
// and through the whole receive path (decoding, splitting, the duplicate check, the participant
// list and its view, the join line in the chat log, painting).
//
//   QT_QPA_PLATFORM=offscreen bench_joins [--total 50000] [--per-pass 100] [--max-seconds 600]
//   QT_QPA_PLATFORM=offscreen bench_joins --profile-at N [--profile-joins K] [--per-pass P]
//
// The first form prints the cost of every block of 1,000 joins, then of leaves, earliest joined
// first, at the full list and at the end. The second fills the list to N
// entries and then feeds K joins inside profiledSegment(), for: valgrind --tool=callgrind
// --collect-atstart=no --toggle-collect='*profiledSegment*' bench_joins --profile-at N

#include "benchinstance.h"
#include "benchmain.h"
#include "net/chatsession.h"
#include "net/datagram.h"
#include "net/entrylistmodel.h"
#include "processmemory.h"
#include "ui/form1.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <cstdio>

namespace {

const QHostAddress broadcastAddress(QStringLiteral("198.18.0.255"));

class Feeder
{
public:
    Feeder(VirtualLan &lan, DatagramSocket &sender, EntryListModel &participants)
        : m_lan(lan), m_sender(sender), m_participants(participants), m_base(participants.size())
    {
    }

    int fed() const { return m_sent; }

    // One event-loop pass's worth of joins, handed over together; then the loop runs on until the
    // window has painted.
    bool pass(int joins)
    {
        for (int i = 0; i < joins; ++i) {
            if (!send('1', ++m_sent))
                return false;
        }
        return settle(m_base + m_sent - m_left);
    }

    // Leaves of the earliest joined first: each removes the first row of the list.
    bool leavePass(int leaves)
    {
        for (int i = 0; i < leaves; ++i) {
            if (!send('2', ++m_left))
                return false;
        }
        return settle(m_base + m_sent - m_left);
    }

    int left() const { return m_left; }

private:
    bool send(char kind, int number)
    {
        const QByteArray payload = kind + QByteArray("\tjoin") + QByteArray::number(number) + "\t198." +
                                   QByteArray::number(19 + (number >> 16)) + '.' +
                                   QByteArray::number((number >> 8) & 255) + '.' +
                                   QByteArray::number(number & 255);
        if (m_sender.sendTo(payload, broadcastAddress, Datagram::presencePort))
            return true;
        std::fprintf(stderr, "send failed: %s\n", qUtf8Printable(m_sender.errorString()));
        return false;
    }

    bool settle(int listed)
    {
        // The LAN keeps a record of every datagram; that is the harness's memory, not the list's.
        m_lan.clearSent();
        const QDeadlineTimer deadline(120000);
        while (m_participants.size() != listed) {
            if (deadline.hasExpired()) {
                std::fprintf(stderr, "list holds %d, expected %d\n", m_participants.size(), listed);
                return false;
            }
            QCoreApplication::processEvents();
        }
        QCoreApplication::processEvents();
        return true;
    }

    VirtualLan &m_lan;
    DatagramSocket &m_sender;
    EntryListModel &m_participants;
    int m_base;
    int m_sent = 0;
    int m_left = 0;
};

[[gnu::noinline]] bool profiledSegment(Feeder &feeder, int joins, int perPass)
{
    for (int done = 0; done < joins; done += perPass) {
        if (!feeder.pass(std::min(perPass, joins - done)))
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
    const QCommandLineOption totalOption(QStringLiteral("total"), QStringLiteral("Joins in all."),
                                         QStringLiteral("N"), QStringLiteral("50000"));
    const QCommandLineOption perPassOption(QStringLiteral("per-pass"),
                                           QStringLiteral("Joins handed over per event-loop pass."),
                                           QStringLiteral("N"), QStringLiteral("100"));
    const QCommandLineOption maxSecondsOption(QStringLiteral("max-seconds"),
                                              QStringLiteral("Stop feeding after this long."),
                                              QStringLiteral("s"), QStringLiteral("600"));
    const QCommandLineOption profileAtOption(
        QStringLiteral("profile-at"), QStringLiteral("Fill to N participants, then feed the profiled joins."),
        QStringLiteral("N"));
    const QCommandLineOption profileJoinsOption(QStringLiteral("profile-joins"),
                                                QStringLiteral("Joins fed in the profiled segment."),
                                                QStringLiteral("K"), QStringLiteral("200"));
    Bench::parseCommandLine(
        parser, {totalOption, perPassOption, maxSecondsOption, profileAtOption, profileJoinsOption},
        Bench::Lan::InMemory);
    const int total = parser.value(totalOption).toInt();
    const int perPass = std::max(1, parser.value(perPassOption).toInt());
    const qint64 maxMs = parser.value(maxSecondsOption).toLongLong() * 1000;
    constexpr int block = 1000;

    Bench::VirtualInstance bench;
    if (!bench.start())
        return 1;
    Form1 *form1 = bench.form1();
    VirtualLan &lan = bench.lan;

    auto sender = bench.hostB->createSocket();
    EntryListModel &participants = *form1->session()->participants();
    EntryListModel &log = *form1->session()->chatLog();
    Feeder feeder(lan, *sender, participants);

    if (parser.isSet(profileAtOption)) {
        const int at = parser.value(profileAtOption).toInt();
        while (feeder.fed() < at) {
            if (!feeder.pass(std::min(block, at - feeder.fed())))
                return 1;
        }
        const int joins = parser.value(profileJoinsOption).toInt();
        QElapsedTimer timer;
        timer.start();
        if (!profiledSegment(feeder, joins, perPass))
            return 1;
        std::printf("profiled %d joins, %d per pass, at %d participants: %.1f ms\n", joins, perPass, at,
                    double(timer.nsecsElapsed()) / 1e6);
        return 0;
    }

    std::printf("window %dx%d, platform %s, Qt %s; %d joins, %d per pass\n", form1->width(), form1->height(),
                qUtf8Printable(QGuiApplication::platformName()), qVersion(), total, perPass);
    std::printf("%-15s %12s %12s\n", "joins", "ms per block", "us per join");
    const long long rssStart = Bench::rssKiB();
    QElapsedTimer overall;
    overall.start();
    QList<double> blockMs;
    while (feeder.fed() < total) {
        if (overall.elapsed() > maxMs) {
            std::printf("stopped after %.0f s (--max-seconds)\n", double(overall.elapsed()) / 1000);
            break;
        }
        const int first = feeder.fed() + 1;
        const int count = std::min(block, total - feeder.fed());
        QElapsedTimer timer;
        timer.start();
        for (int done = 0; done < count; done += perPass) {
            if (!feeder.pass(std::min(perPass, count - done)))
                return 1;
        }
        const double ms = double(timer.nsecsElapsed()) / 1e6;
        blockMs.append(ms);
        std::printf("%6d..%-8d %12.1f %12.1f\n", first, feeder.fed(), ms, ms * 1000.0 / count);
        std::fflush(stdout);
    }
    const long long rssEnd = Bench::rssKiB();

    // The two points compared: the first 1,000 joins and the last 10,000 (or as many blocks as fed).
    const int lastBlocks = std::min<int>(10, int(blockMs.size()));
    double lastMs = 0;
    for (int i = int(blockMs.size()) - lastBlocks; i < blockMs.size(); ++i)
        lastMs += blockMs.at(i);
    const int lastFirst = (int(blockMs.size()) - lastBlocks) * block + 1;
    std::printf("\nper join: joins 1..%d %.1f us; joins %d..%d %.1f us\n", block,
                blockMs.isEmpty() ? 0.0 : blockMs.first() * 1000.0 / block, lastFirst, feeder.fed(),
                lastMs * 1000.0 / std::max(1, feeder.fed() - lastFirst + 1));
    std::printf("participants listed %d, chat log holds %d entries, VmRSS %.1f MiB before the first join, "
                "%.1f MiB after the last\n",
                participants.size(), log.size(), rssStart / 1024.0, rssEnd / 1024.0);

    // Then everybody leaves, earliest first: the first 1,000 leaves meet the full list, the last
    // 1,000 a short one.
    const int joined = feeder.fed();
    QList<double> leaveMs;
    while (feeder.left() < joined) {
        const int count = std::min(block, joined - feeder.left());
        QElapsedTimer timer;
        timer.start();
        for (int done = 0; done < count; done += perPass) {
            if (!feeder.leavePass(std::min(perPass, count - done)))
                return 1;
        }
        leaveMs.append(double(timer.nsecsElapsed()) / 1e6 * 1000.0 / count);
    }
    if (!leaveMs.isEmpty())
        std::printf("per leave: the first %d (list of %d) %.1f us; the last %d %.1f us\n", block, joined,
                    leaveMs.first(), block, leaveMs.last());
    return bench.messages.shown == 0 ? 0 : 1;
}
