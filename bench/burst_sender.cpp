// Sends chat lines "line 1" .. "line N" flat out to the broadcast address, as another instance
// would send them: name TAB text TAB address, code page 932, one datagram each. Refuses to run
// outside a bench network namespace (see netnsguard.h). Run by bench_burst.sh.
//
//   bench_burst_sender [--to 198.18.0.255] [--port 1000] [--count 20000] [--name benchB] [--ip 198.18.0.2]

#include "base/cp932.h"
#include "net/datagram.h"
#include "netnsguard.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <QUdpSocket>
#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    const QCommandLineOption toOption(QStringLiteral("to"), QStringLiteral("Destination address."),
                                      QStringLiteral("address"), QStringLiteral("198.18.0.255"));
    const QCommandLineOption portOption(QStringLiteral("port"), QStringLiteral("Destination port."),
                                        QStringLiteral("port"), QStringLiteral("1000"));
    const QCommandLineOption countOption(QStringLiteral("count"), QStringLiteral("Lines to send."),
                                         QStringLiteral("N"), QStringLiteral("20000"));
    const QCommandLineOption nameOption(QStringLiteral("name"), QStringLiteral("Sender name (field 0)."),
                                        QStringLiteral("name"), QStringLiteral("benchB"));
    const QCommandLineOption ipOption(QStringLiteral("ip"), QStringLiteral("Sender address (field 2)."),
                                      QStringLiteral("address"), QStringLiteral("198.18.0.2"));
    parser.addOptions({toOption, portOption, countOption, nameOption, ipOption});
    parser.process(application);

    if (const QString why = Bench::notInBenchNamespace(); !why.isEmpty()) {
        std::fprintf(stderr, "refusing to broadcast: %s\n", qUtf8Printable(why));
        return 2;
    }

    const QHostAddress to(parser.value(toOption));
    const quint16 port = quint16(parser.value(portOption).toUInt());
    const int count = parser.value(countOption).toInt();
    const QString name = parser.value(nameOption);
    const QString ip = parser.value(ipOption);

    // Encoded beforehand, so the loop measures the sending alone.
    QList<QByteArray> payloads;
    payloads.reserve(count);
    for (int i = 1; i <= count; ++i)
        payloads.append(Cp932::encode(Datagram::chatLine(name, QStringLiteral("line %1").arg(i), ip)));

    QUdpSocket socket;
    long long retries = 0;
    QString lastError;
    QElapsedTimer timer;
    timer.start();
    for (const QByteArray &payload : std::as_const(payloads)) {
        // A full send buffer refuses the datagram for a moment; it is sent again, not skipped.
        while (socket.writeDatagram(payload, to, port) != payload.size()) {
            lastError = socket.errorString();
            if (++retries > 1000000) {
                std::fprintf(stderr, "giving up: %s\n", qUtf8Printable(lastError));
                return 1;
            }
            QThread::yieldCurrentThread();
        }
    }
    const double ms = double(timer.nsecsElapsed()) / 1e6;
    std::printf("sent %d datagrams to %s:%u in %.1f ms (%.0f per second), %lld refused and sent again%s%s\n",
                count, qUtf8Printable(to.toString()), port, ms, count / ms * 1000.0, retries,
                lastError.isEmpty() ? "" : ", last refusal: ", qUtf8Printable(lastError));
    return 0;
}
