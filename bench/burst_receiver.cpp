// One real instance (Module1 with the real UDP network, window on the offscreen platform) that
// counts the chat lines "line 1" .. "line N" of one sender as its chat log shows them. Refuses to
// run outside a bench network namespace (see netnsguard.h). Run by bench_burst.sh.
//
//   bench_burst_receiver [--expect 20000] [--sender benchB] [--timeout 120] [--idle 5]
//
// Prints "ready" once the instance is up; ends when every line is in the log, when no new line
// came for --idle seconds after the first, or after --timeout seconds.

#include "app/clock.h"
#include "app/module1.h"
#include "benchsupport.h"
#include "net/chatsession.h"
#include "net/entrylistmodel.h"
#include "net/udpnetwork.h"
#include "netnsguard.h"
#include "ui/form1.h"

#include <QApplication>
#include <QBitArray>
#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    const QCommandLineOption expectOption(QStringLiteral("expect"), QStringLiteral("Lines the sender sends."),
                                          QStringLiteral("N"), QStringLiteral("20000"));
    const QCommandLineOption senderOption(QStringLiteral("sender"), QStringLiteral("The sender's name."),
                                          QStringLiteral("name"), QStringLiteral("benchB"));
    const QCommandLineOption timeoutOption(QStringLiteral("timeout"), QStringLiteral("Seconds to wait at most."),
                                           QStringLiteral("s"), QStringLiteral("120"));
    const QCommandLineOption idleOption(QStringLiteral("idle"),
                                        QStringLiteral("Seconds without a new line, after the first, to give up."),
                                        QStringLiteral("s"), QStringLiteral("5"));
    parser.addOptions({expectOption, senderOption, timeoutOption, idleOption});
    parser.process(application);

    if (const QString why = Bench::notInBenchNamespace(); !why.isEmpty()) {
        std::fprintf(stderr, "refusing to broadcast: %s\n", qUtf8Printable(why));
        return 2;
    }
    const int expect = parser.value(expectOption).toInt();
    const QString prefix = parser.value(senderOption) + QStringLiteral(">line ");
    const int timeoutMs = parser.value(timeoutOption).toInt() * 1000;
    const int idleMs = parser.value(idleOption).toInt() * 1000;

    QTemporaryDir appFolder;
    UdpNetwork network;
    Bench::PrintingMessageBox messages;
    SystemClock clock;
    Bench::NoShell shell;
    Services services{network, messages, clock, shell};
    Module1 module1(services, appFolder.path());
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
    int passes = 0;
    int largestPass = 0;
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
            ++passes;
            largestPass = std::max(largestPass, inPass);
            lastLineMs = sinceFirst.elapsed();
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

    std::printf("ready: %s, broadcast %s, chat port %s\n", qUtf8Printable(module1.record().localIp),
                qUtf8Printable(module1.record().broadcastAddress), qUtf8Printable(module1.record().chatPort));
    std::fflush(stdout);
    application.exec();

    QStringList missing;
    for (int n = 1; n <= expect && missing.size() < 10; ++n) {
        if (!seen.testBit(n))
            missing.append(QString::number(n));
    }
    std::printf("shown %d of %d lines (%d missing%s%s), %d duplicates, %d out of order, "
                "first to last shown %lld ms, in %d passes (largest %d), log holds %d entries\n",
                received, expect, expect - received, missing.isEmpty() ? "" : ", first missing: ",
                qUtf8Printable(missing.join(QLatin1Char(' '))), duplicates, outOfOrder, lastLineMs, passes,
                largestPass, log.size());
    return received == expect && messages.shown == 0 ? 0 : 3;
}
