// Paced chat lines for the relay benchmark, from several source addresses of this host in turn, so
// that a relay's per-source bound does not cut the rate. Each line carries its sending time:
// `benchS` TAB `<n> <CLOCK_REALTIME in us>` TAB `<source address>`, broadcast to the chat port.
// Refuses to run outside a bench network namespace (see netnsguard.h). Run by bench_relay.sh.
//
//   bench_relay_sender --rate N --seconds S --first 198.18.0.100 --sources 20 [--to 198.18.0.255] [--port
//   1000]

#include "netnsguard.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <arpa/inet.h>
#include <cstdio>
#include <ctime>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

long long nowNs(clockid_t clock)
{
    timespec now{};
    clock_gettime(clock, &now);
    return now.tv_sec * 1000000000LL + now.tv_nsec;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    const QCommandLineOption rateOption(QStringLiteral("rate"), QStringLiteral("lines per second"),
                                        QStringLiteral("N"), QStringLiteral("10"));
    const QCommandLineOption secondsOption(QStringLiteral("seconds"), QStringLiteral("how long"),
                                           QStringLiteral("S"), QStringLiteral("10"));
    const QCommandLineOption firstOption(QStringLiteral("first"), QStringLiteral("first source address"),
                                         QStringLiteral("IP"), QStringLiteral("198.18.0.100"));
    const QCommandLineOption sourcesOption(QStringLiteral("sources"),
                                           QStringLiteral("consecutive source addresses"),
                                           QStringLiteral("N"), QStringLiteral("20"));
    const QCommandLineOption toOption(QStringLiteral("to"), QStringLiteral("destination"),
                                      QStringLiteral("IP"), QStringLiteral("198.18.0.255"));
    const QCommandLineOption portOption(QStringLiteral("port"), QStringLiteral("chat port"),
                                        QStringLiteral("PORT"), QStringLiteral("1000"));
    parser.addOptions({rateOption, secondsOption, firstOption, sourcesOption, toOption, portOption});
    parser.process(app);
    if (const QString why = Bench::notInBenchNamespace(); !why.isEmpty()) {
        std::fprintf(stderr, "refusing to send: %s\n", qUtf8Printable(why));
        return 1;
    }
    const int rate = parser.value(rateOption).toInt();
    const int seconds = parser.value(secondsOption).toInt();
    const int sources = parser.value(sourcesOption).toInt();
    const quint32 first = QHostAddress(parser.value(firstOption)).toIPv4Address();
    if (rate <= 0 || rate > 100000 || seconds <= 0 || seconds > 600 || sources <= 0 || sources > 200 ||
        first == 0) {
        std::fprintf(stderr, "--rate in (0, 100000], --seconds in (0, 600], --sources in (0, 200]\n");
        return 2;
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(quint16(parser.value(portOption).toUInt()));
    to.sin_addr.s_addr = htonl(QHostAddress(parser.value(toOption)).toIPv4Address());

    std::vector<int> sockets;
    std::vector<std::string> names;
    for (int i = 0; i < sources; ++i) {
        const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        const int on = 1;
        sockaddr_in from{};
        from.sin_family = AF_INET;
        from.sin_addr.s_addr = htonl(first + quint32(i));
        if (fd < 0 || ::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0 ||
            ::bind(fd, reinterpret_cast<sockaddr *>(&from), sizeof from) != 0) {
            std::perror("source socket");
            return 1;
        }
        sockets.push_back(fd);
        names.push_back(QHostAddress(first + quint32(i)).toString().toStdString());
    }

    const long long total = static_cast<long long>(rate) * seconds;
    const long long start = nowNs(CLOCK_MONOTONIC);
    long long sent = 0;
    for (long long n = 0; n < total; ++n) {
        const long long due = start + n * 1000000000LL / rate;
        const timespec wake{time_t(due / 1000000000LL), long(due % 1000000000LL)};
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &wake, nullptr);
        const size_t source = size_t(n % sources);
        const std::string line = "benchS\t" + std::to_string(n) + ' ' +
                                 std::to_string(nowNs(CLOCK_REALTIME) / 1000) + '\t' + names[source];
        if (::sendto(sockets[source], line.data(), line.size(), 0, reinterpret_cast<sockaddr *>(&to),
                     sizeof to) == ssize_t(line.size()))
            ++sent;
    }
    std::printf("sent %lld of %lld in %.2f s\n", sent, total, double(nowNs(CLOCK_MONOTONIC) - start) / 1e9);
    for (const int fd : sockets)
        ::close(fd);
    return 0;
}
