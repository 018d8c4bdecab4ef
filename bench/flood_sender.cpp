// Hostile traffic for one instance, sent with sendmmsg in batches. Refuses to run outside a bench
// network namespace (see netnsguard.h). Run by bench_flood.sh.
//
//   bench_flood_sender --mode chat  [--to 198.18.0.1] [--seconds 60] [--max-datagrams N]
//   bench_flood_sender --mode joins [--to 198.18.0.1] [--count 10000]
//   common: [--port 1000] [--batch 64] [--name benchB] [--ip 198.18.0.2] [--start-at NS]
//
// chat: `benchB` TAB `flood N` TAB `198.18.0.2` to the chat port, as fast as one core sends, until
// --seconds have passed or --max-datagrams are out.
// joins: --count join notices `1` TAB `joinN` TAB `198.19.x.y`, each with an address of its own, to
// the presence port, then at once one chat line `benchB` TAB `after joins` TAB `198.18.0.2` to the
// chat port; prints the CLOCK_MONOTONIC time just before that line went out.
// --start-at waits until that CLOCK_MONOTONIC time (nanoseconds) first.

#include "base/cp932.h"
#include "net/datagram.h"
#include "netnsguard.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

long long monotonicNs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000000000LL + now.tv_nsec;
}

struct Counters
{
    long long sent = 0;
    long long calls = 0;
    long long refused = 0; // EAGAIN / ENOBUFS: the batch is offered again
    int lastErrno = 0;
};

// Sends messages[0..count) completely, offering the rest again while the socket refuses them.
// Gives up (false) on any other error or once the deadline has passed.
bool sendAll(int fd, mmsghdr *messages, int count, Counters &counters, long long deadlineNs)
{
    int done = 0;
    while (done < count) {
        const int n = ::sendmmsg(fd, messages + done, unsigned(count - done), MSG_DONTWAIT);
        ++counters.calls;
        if (n > 0) {
            done += n;
            counters.sent += n;
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != ENOBUFS && errno != EINTR) {
            counters.lastErrno = errno;
            return false;
        }
        ++counters.refused;
        counters.lastErrno = n < 0 ? errno : 0;
        if (monotonicNs() > deadlineNs)
            return false;
        sched_yield();
    }
    return true;
}

// A batch of datagrams to one destination whose payloads are rewritten in place before each call.
class Batch
{
public:
    Batch(int size, const sockaddr_in &to)
        : m_buffers(size_t(size) * bufferSize), m_iov(size), m_messages(size)
    {
        m_to = to;
        for (int i = 0; i < size; ++i) {
            m_iov[i].iov_base = m_buffers.data() + size_t(i) * bufferSize;
            m_messages[i] = {};
            m_messages[i].msg_hdr.msg_name = &m_to;
            m_messages[i].msg_hdr.msg_namelen = sizeof m_to;
            m_messages[i].msg_hdr.msg_iov = &m_iov[i];
            m_messages[i].msg_hdr.msg_iovlen = 1;
        }
    }

    void set(int i, const QByteArray &payload)
    {
        const size_t length = std::min<size_t>(size_t(payload.size()), bufferSize);
        std::memcpy(m_iov[i].iov_base, payload.constData(), length);
        m_iov[i].iov_len = length;
    }

    // prefix + number + suffix without a QByteArray per datagram: the loop must cost little next to
    // the system call.
    void set(int i, const QByteArray &prefix, long long number, const QByteArray &suffix)
    {
        char *out = static_cast<char *>(m_iov[i].iov_base);
        std::memcpy(out, prefix.constData(), size_t(prefix.size()));
        int length = int(prefix.size());
        length += std::snprintf(out + length, 24, "%lld", number);
        std::memcpy(out + length, suffix.constData(), size_t(suffix.size()));
        m_iov[i].iov_len = size_t(length + suffix.size());
    }

    mmsghdr *messages() { return m_messages.data(); }

private:
    static constexpr size_t bufferSize = 512;
    sockaddr_in m_to{};
    std::vector<char> m_buffers;
    std::vector<iovec> m_iov;
    std::vector<mmsghdr> m_messages;
};

sockaddr_in destination(const QString &address, quint16 port)
{
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    ::inet_pton(AF_INET, qUtf8Printable(address), &to.sin_addr);
    return to;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    const QCommandLineOption modeOption(QStringLiteral("mode"), QStringLiteral("chat or joins."),
                                        QStringLiteral("mode"), QStringLiteral("chat"));
    const QCommandLineOption toOption(QStringLiteral("to"), QStringLiteral("Destination address."),
                                      QStringLiteral("address"), QStringLiteral("198.18.0.1"));
    const QCommandLineOption portOption(QStringLiteral("port"), QStringLiteral("The chat port."),
                                        QStringLiteral("port"), QStringLiteral("1000"));
    const QCommandLineOption secondsOption(QStringLiteral("seconds"),
                                           QStringLiteral("chat: how long to send."), QStringLiteral("s"),
                                           QStringLiteral("60"));
    const QCommandLineOption maxOption(QStringLiteral("max-datagrams"),
                                       QStringLiteral("chat: stop after this many datagrams."),
                                       QStringLiteral("N"), QStringLiteral("100000000"));
    const QCommandLineOption countOption(QStringLiteral("count"),
                                         QStringLiteral("joins: join notices to send."), QStringLiteral("N"),
                                         QStringLiteral("10000"));
    const QCommandLineOption batchOption(QStringLiteral("batch"), QStringLiteral("Datagrams per sendmmsg."),
                                         QStringLiteral("N"), QStringLiteral("64"));
    const QCommandLineOption nameOption(QStringLiteral("name"), QStringLiteral("Sender name (field 0)."),
                                        QStringLiteral("name"), QStringLiteral("benchB"));
    const QCommandLineOption ipOption(QStringLiteral("ip"), QStringLiteral("Sender address (field 2)."),
                                      QStringLiteral("address"), QStringLiteral("198.18.0.2"));
    const QCommandLineOption startOption(QStringLiteral("start-at"),
                                         QStringLiteral("CLOCK_MONOTONIC time (ns) to start at."),
                                         QStringLiteral("NS"));
    parser.addOptions({modeOption, toOption, portOption, secondsOption, maxOption, countOption, batchOption,
                       nameOption, ipOption, startOption});
    parser.process(application);

    if (const QString why = Bench::notInBenchNamespace(); !why.isEmpty()) {
        std::fprintf(stderr, "refusing to send: %s\n", qUtf8Printable(why));
        return 2;
    }
    const QString mode = parser.value(modeOption);
    const QString to = parser.value(toOption);
    const quint16 chatPort = quint16(parser.value(portOption).toUInt());
    const double seconds = parser.value(secondsOption).toDouble();
    const long long maxDatagrams = parser.value(maxOption).toLongLong();
    const int count = parser.value(countOption).toInt();
    const int batchSize = std::clamp(parser.value(batchOption).toInt(), 1, 1024);
    const QString name = parser.value(nameOption);
    const QString ip = parser.value(ipOption);
    if (mode != QLatin1String("chat") && mode != QLatin1String("joins")) {
        std::fprintf(stderr, "--mode must be chat or joins\n");
        return 2;
    }
    if (seconds <= 0 || seconds > 600 || count < 0 || count > 1000000) {
        std::fprintf(stderr, "--seconds must be in (0, 600], --count in [0, 1000000]\n");
        return 2;
    }

    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    const int on = 1;
    if (fd < 0 || ::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0) {
        std::perror("socket");
        return 1;
    }
    // A large send buffer lets one call hand over a whole batch.
    const int sendBuffer = 4 * 1024 * 1024;
    ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);

    if (parser.isSet(startOption)) {
        const long long startNs = parser.value(startOption).toLongLong();
        const long long waitNs = startNs - monotonicNs();
        if (waitNs > 30000000000LL) {
            std::fprintf(stderr, "--start-at is more than 30 s away\n");
            return 2;
        }
        if (waitNs > 0) {
            const timespec at{time_t(startNs / 1000000000LL), long(startNs % 1000000000LL)};
            while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
            }
        }
    }

    Counters counters;
    if (mode == QLatin1String("chat")) {
        const QByteArray prefix = Cp932::encode(name + QLatin1Char('\t') + QStringLiteral("flood "));
        const QByteArray suffix = Cp932::encode(QLatin1Char('\t') + ip);
        Batch batch(batchSize, destination(to, chatPort));
        const long long startNs = monotonicNs();
        const long long endNs = startNs + (long long)(seconds * 1e9);
        long long next = 1;
        bool ok = true;
        while (ok && counters.sent < maxDatagrams && monotonicNs() < endNs) {
            const int n = int(std::min<long long>(batchSize, maxDatagrams - counters.sent));
            for (int i = 0; i < n; ++i)
                batch.set(i, prefix, next + i, suffix);
            ok = sendAll(fd, batch.messages(), n, counters, endNs);
            next += n;
        }
        const double elapsed = double(monotonicNs() - startNs) / 1e9;
        std::printf("sent %lld chat lines to %s:%u in %.2f s (%.0f per second), %lld sendmmsg calls, "
                    "%lld refused and offered again%s%s\n",
                    counters.sent, qUtf8Printable(to), chatPort, elapsed, double(counters.sent) / elapsed,
                    counters.calls, counters.refused, counters.lastErrno ? ", last error: " : "",
                    counters.lastErrno ? std::strerror(counters.lastErrno) : "");
        std::printf("flood-start-ns %lld\nflood-end-ns %lld\nflood-sent %lld\n", startNs, monotonicNs(),
                    counters.sent);
        return ok || counters.sent > 0 ? 0 : 1;
    }

    // joins
    Batch batch(batchSize, destination(to, Datagram::presencePort));
    const long long startNs = monotonicNs();
    const long long deadlineNs = startNs + 60000000000LL;
    for (int first = 1; first <= count; first += batchSize) {
        const int n = std::min(batchSize, count - first + 1);
        for (int i = 0; i < n; ++i) {
            const int number = first + i;
            const QString address = QStringLiteral("198.%1.%2.%3")
                                        .arg(19 + (number >> 16))
                                        .arg((number >> 8) & 255)
                                        .arg(number & 255);
            batch.set(i, Cp932::encode(Datagram::joinNotice(QStringLiteral("join%1").arg(number), address)));
        }
        if (!sendAll(fd, batch.messages(), n, counters, deadlineNs)) {
            std::fprintf(stderr, "sending the joins failed: %s\n", std::strerror(counters.lastErrno));
            return 1;
        }
    }
    const long long joinsDoneNs = monotonicNs();
    const QByteArray line = Cp932::encode(Datagram::chatLine(name, QStringLiteral("after joins"), ip));
    const sockaddr_in chatTo = destination(to, chatPort);
    const long long lineNs = monotonicNs();
    if (::sendto(fd, line.constData(), size_t(line.size()), 0, reinterpret_cast<const sockaddr *>(&chatTo),
                 sizeof chatTo) != line.size()) {
        std::perror("sending the chat line");
        return 1;
    }
    std::printf("sent %lld join notices to %s:%u in %.1f ms, %lld sendmmsg calls, %lld refused and offered "
                "again; then the chat line to port %u\n",
                counters.sent, qUtf8Printable(to), Datagram::presencePort,
                double(joinsDoneNs - startNs) / 1e6, counters.calls, counters.refused, chatPort);
    std::printf("line-sent-ns %lld\n", lineNs);
    return 0;
}
