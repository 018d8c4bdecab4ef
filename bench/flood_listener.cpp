// A bystander on the LAN: bound to the chat port, it prints the CLOCK_MONOTONIC time at which each
// datagram containing a given text arrives. Sends nothing; like the others it refuses to run outside
// a bench network namespace (see netnsguard.h). Run by bench_flood.sh on host C.
//
//   bench_flood_listener [--port 1000] [--match userline] [--expect 3] [--seconds 180]
//
// Prints "ready", then "arrived NS PAYLOAD" per match (TABs shown as \t); ends after --expect
// matches or --seconds.

#include "netnsguard.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

long long monotonicNs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000000000LL + now.tv_nsec;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    const QCommandLineOption portOption(QStringLiteral("port"), QStringLiteral("Port to listen on."),
                                        QStringLiteral("port"), QStringLiteral("1000"));
    const QCommandLineOption matchOption(QStringLiteral("match"), QStringLiteral("Text to look for."),
                                         QStringLiteral("text"), QStringLiteral("userline"));
    const QCommandLineOption expectOption(QStringLiteral("expect"), QStringLiteral("Matches to wait for."),
                                          QStringLiteral("N"), QStringLiteral("3"));
    const QCommandLineOption secondsOption(QStringLiteral("seconds"),
                                           QStringLiteral("Listen at most this long."), QStringLiteral("s"),
                                           QStringLiteral("180"));
    parser.addOptions({portOption, matchOption, expectOption, secondsOption});
    parser.process(application);

    if (const QString why = Bench::notInBenchNamespace(); !why.isEmpty()) {
        std::fprintf(stderr, "refusing to run: %s\n", qUtf8Printable(why));
        return 2;
    }
    const QByteArray match = parser.value(matchOption).toUtf8();
    const int expect = parser.value(expectOption).toInt();
    const long long endNs =
        monotonicNs() + std::min(parser.value(secondsOption).toLongLong(), 900LL) * 1000000000LL;

    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(quint16(parser.value(portOption).toUInt()));
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    if (fd < 0 || ::bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
        std::perror("bind");
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);

    int found = 0;
    long long other = 0;
    char buffer[65536];
    while (found < expect) {
        const long long left = endNs - monotonicNs();
        if (left <= 0)
            break;
        pollfd waiting{fd, POLLIN, 0};
        const int ready = ::poll(&waiting, 1, int(std::min(left / 1000000 + 1, 1000LL)));
        if (ready < 0 && errno != EINTR)
            return 1;
        if (ready <= 0)
            continue;
        const ssize_t size = ::recv(fd, buffer, sizeof buffer, 0);
        const long long arrivedNs = monotonicNs();
        if (size < 0)
            continue;
        const QByteArray payload(buffer, size);
        if (!payload.contains(match)) {
            ++other;
            continue;
        }
        ++found;
        std::printf("arrived %lld %s\n", arrivedNs, QByteArray(payload).replace('\t', "\\t").constData());
        std::fflush(stdout);
    }
    std::printf("%d of %d matches, %lld other datagrams\n", found, expect, other);
    return found == expect ? 0 : 3;
}
