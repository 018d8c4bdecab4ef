// One real instance (Module1 with the real UDP network, window on the offscreen platform) that
// counts the chat lines "line 1" .. "line N" of one sender as its chat log shows them. Refuses to
// run outside a bench network namespace (see support/netnsguard.h). Run by bench_burst.sh.
//
//   bench_burst_receiver [--expect 20000] [--sender benchB] [--timeout 120] [--idle 5]
//
// Prints "ready" once the instance is up; ends when every line is in the log, when no new line
// came for --idle seconds after the first, or after --timeout seconds.

#include "benchinstance.h"
#include "benchmain.h"
#include "net/chatsession.h"
#include "net/entrylistmodel.h"
#include "socketstats.h"
#include "ui/form1.h"

#include <QApplication>
#include <QBitArray>
#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QTimer>
#include <cstdio>
#include <sys/socket.h>

int main(int argc, char *argv[])
{
    Bench::preferOffscreen();
    QApplication application(argc, argv);
    QCommandLineParser parser;
    const QCommandLineOption expectOption(QStringLiteral("expect"), QStringLiteral("Lines the sender sends."),
                                          QStringLiteral("N"), QStringLiteral("20000"));
    const QCommandLineOption senderOption(QStringLiteral("sender"), QStringLiteral("The sender's name."),
                                          QStringLiteral("name"), QStringLiteral("benchB"));
    const QCommandLineOption timeoutOption(QStringLiteral("timeout"),
                                           QStringLiteral("Seconds to wait at most."), QStringLiteral("s"),
                                           QStringLiteral("120"));
    const QCommandLineOption rmemMaxOption(
        QStringLiteral("rmem-max"),
        QStringLiteral(
            "Give the chat socket the buffer it would get with net.core.rmem_max=BYTES (that setting is "
            "read-only inside a network namespace and machine-wide outside)."),
        QStringLiteral("BYTES"));
    const QCommandLineOption idleOption(
        QStringLiteral("idle"), QStringLiteral("Seconds without a new line, after the first, to give up."),
        QStringLiteral("s"), QStringLiteral("5"));
    if (!Bench::parseCommandLine(parser,
                                 {expectOption, senderOption, timeoutOption, rmemMaxOption, idleOption},
                                 Bench::Lan::Namespaces))
        return 2;
    const int expect = parser.value(expectOption).toInt();
    const QString prefix = parser.value(senderOption) + QStringLiteral(">line ");
    const int timeoutMs = parser.value(timeoutOption).toInt() * 1000;
    const int idleMs = parser.value(idleOption).toInt() * 1000;

    Bench::UdpInstance instance;
    Module1 &module1 = instance.module1;
    if (!module1.Main())
        return 1;
    ChatSession *session = module1.form1()->session();
    const EntryListModel &log = *session->chatLog();

    QBitArray seen(expect + 1);
    int received = 0;
    int duplicates = 0;
    int outOfOrder = 0;
    int lastNumber = 0;
    int scanned = 0;
    int passCount = 0;
    int largestPass = 0;
    QList<QPair<qint64, int>> trace; // end of each pass after the first line: ms, lines
    QElapsedTimer sinceStart;
    QElapsedTimer sinceFirst;
    qint64 lastLineMs = 0;
    sinceStart.start();

    // After each pass of arrivals, once the log has taken them and scrolled.
    QObject::connect(session, &ChatSession::chatLogGrew, &application, [&] {
        int inPass = 0;
        for (; scanned < log.size(); ++scanned) {
            const QString &entry = log.entries().at(scanned);
            if (!entry.startsWith(prefix))
                continue;
            const int number = entry.mid(prefix.size()).section(QLatin1Char('\t'), 0, 0).toInt();
            if (number < 1 || number > expect)
                continue;
            if (!sinceFirst.isValid())
                sinceFirst.start();
            ++inPass;
            if (seen.testBit(number)) {
                ++duplicates;
                continue;
            }
            seen.setBit(number);
            ++received;
            if (number < lastNumber)
                ++outOfOrder;
            lastNumber = number;
        }
        if (inPass > 0) {
            ++passCount;
            largestPass = std::max(largestPass, inPass);
            lastLineMs = sinceFirst.elapsed();
            trace.append({lastLineMs, inPass});
        }
        if (received == expect)
            application.quit();
    });
    QTimer watchdog;
    QObject::connect(&watchdog, &QTimer::timeout, &application, [&] {
        const bool idle = sinceFirst.isValid() && sinceFirst.elapsed() - lastLineMs > idleMs;
        if (idle || sinceStart.elapsed() > timeoutMs)
            application.quit();
    });
    watchdog.start(100);

    const quint16 chatPort = quint16(module1.record().chatPort.toUInt());
    const int chatSocket = Bench::socketOf(chatPort);
    if (parser.isSet(rmemMaxOption)) {
        // The program asks for 4 MiB once, after binding; the kernel caps the request at rmem_max.
        const int capped = std::min(4 * 1024 * 1024, parser.value(rmemMaxOption).toInt());
        if (chatSocket < 0 || ::setsockopt(chatSocket, SOL_SOCKET, SO_RCVBUF, &capped, sizeof capped) != 0) {
            std::fprintf(stderr, "cannot set the chat socket's receive buffer\n");
            return 1;
        }
    }
    const auto countersBefore = Bench::udpCounters();
    std::printf("ready: %s, broadcast %s, chat port %u, receive buffer granted %d bytes%s\n",
                qUtf8Printable(module1.record().localIp), qUtf8Printable(module1.record().broadcastAddress),
                chatPort, Bench::receiveBufferOf(chatSocket),
                parser.isSet(rmemMaxOption) ? " (as with the --rmem-max given)" : "");
    std::fflush(stdout);
    application.exec();

    const Bench::SocketRow row = Bench::socketRowOf(chatPort);
    const auto countersAfter = Bench::udpCounters();
    const auto delta = [&](const char *name) {
        return countersAfter.value(name) - countersBefore.value(name);
    };
    std::printf("chat socket: %lld datagrams dropped by the kernel, %lld bytes still queued; namespace UDP "
                "counters during the run: InDatagrams %lld, RcvbufErrors %lld, InErrors %lld\n",
                row.drops, row.receiveQueue, delta("InDatagrams"), delta("RcvbufErrors"), delta("InErrors"));

    QStringList missing;
    for (int n = 1; n <= expect && missing.size() < 10; ++n) {
        if (!seen.testBit(n))
            missing.append(QString::number(n));
    }
    std::printf("shown %d of %d lines (%d missing%s%s), %d duplicates, %d out of order, "
                "first to last shown %lld ms, in %d passes (largest %d), log holds %d entries\n",
                received, expect, expect - received,
                missing.isEmpty() ? "" : ", first missing: ", qUtf8Printable(missing.join(QLatin1Char(' '))),
                duplicates, outOfOrder, lastLineMs, passCount, largestPass, log.size());
    QStringList passes;
    for (const auto &[ms, lines] : std::as_const(trace).first(std::min<qsizetype>(trace.size(), 40)))
        passes.append(QStringLiteral("%1 ms: %2").arg(ms).arg(lines));
    std::printf("passes (end of pass since the first line: lines in it)%s %s\n",
                trace.size() > 40 ? ", first 40:" : ":", qUtf8Printable(passes.join(QStringLiteral(", "))));
    return received == expect && instance.messages.shown == 0 ? 0 : 3;
}
