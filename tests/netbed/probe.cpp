// zumzum-probe: sees and makes UDP datagrams on the test LAN, byte for byte. The tests and the
// benchmarks both use it.
//
//   listen <port> <seconds> [--count N] [--monotonic]
//                                         one line per datagram received on <port>
//   send <ip> <port> <hex payload>        one datagram
//   sniff <port> <seconds> [--count N] [--incoming]
//                                         one line per UDP datagram to <port> that this host sends
//                                         (or, with --incoming, that reaches it; datagrams to its
//                                         own address included, its own broadcasts not)
//   flood <ip> <port> <name> <address> <seconds> [--count N] [--text WORD] [--batch N] [--start-at NS]
//         [--rate N]                      chat lines "name TAB flood N TAB address" (N = 1, 2, ...;
//                                         WORD instead of "flood") with sendmmsg, --batch (64) per
//                                         call, as fast as the socket takes them, until <seconds>
//                                         have passed or --count lines are out; with --rate, N
//                                         lines a second (a batch whenever the schedule has one
//                                         due), <rate> x <seconds> lines in all
//   joins <ip> <chat port> <name> <address> <count> [--batch N] [--start-at NS]
//                                         <count> join notices "1 TAB joinN TAB 198.19.x.y", each
//                                         with an address of its own, to <ip>:50011 the same way,
//                                         then the chat line "name TAB after joins TAB address"
//                                         to <ip>:<chat port>
//   paced <ip> <port> <name> <first source> <sources> <rate> <seconds>
//                                         <rate> chat lines a second "name TAB n <CLOCK_REALTIME
//                                         in us> TAB source", from <sources> consecutive addresses
//                                         of this host in turn
//
// listen and sniff print "<ms since start> <source ip> <payload hex> <destination ip> <wall clock
// in us>", flushed at once; the destination is "-" when the kernel does not report it, the wall
// clock lets a test compare an arrival with a file's modification time (--monotonic: the
// CLOCK_MONOTONIC time in us instead, which every namespace of the kernel shares). "ready" goes to
// stderr once the socket is open, so a test can wait for it before it starts the traffic it wants
// to see. flood and joins print what they sent, and the CLOCK_MONOTONIC times (ns) a benchmark
// compares with its receiver's; --start-at waits until such a time first. Names, texts and
// addresses go out as given (ASCII in every script, the same bytes in code page 932). flood, joins
// and paced refuse to run outside a test network namespace (see netnsguard.h).

#include "clocks.h"
#include "netnsguard.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>
#include <QNetworkDatagram>
#include <QSocketNotifier>
#include <QTimer>
#include <QUdpSocket>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <netinet/udp.h>
#include <optional>
#include <sched.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr quint16 presencePort = 50011;

int usage()
{
    std::fprintf(
        stderr,
        "usage: zumzum-probe listen <port> <seconds> [--count N] [--monotonic]\n"
        "       zumzum-probe send <ip> <port> <hex payload>\n"
        "       zumzum-probe sniff <port> <seconds> [--count N] [--incoming]\n"
        "       zumzum-probe flood <ip> <port> <name> <address> <seconds> [--count N] [--text WORD]\n"
        "                          [--batch N] [--start-at NS] [--rate N]\n"
        "       zumzum-probe joins <ip> <chat port> <name> <address> <count> [--batch N] [--start-at NS]\n"
        "       zumzum-probe paced <ip> <port> <name> <first source> <sources> <rate> <seconds>\n");
    return 2;
}

std::optional<long long> number(const QString &text, long long lowest, long long highest)
{
    bool ok = false;
    const long long value = text.toLongLong(&ok);
    if (!ok || value < lowest || value > highest)
        return std::nullopt;
    return value;
}

std::optional<quint16> portArgument(const QString &text)
{
    const auto value = number(text, 1, 65535);
    return value ? std::optional<quint16>(quint16(*value)) : std::nullopt;
}

// The options after the positional arguments: "--name value" for those in withValue, bare
// switches for those in switches. Nothing else is allowed.
std::optional<QHash<QString, QString>> optionsFrom(const QStringList &args, int first,
                                                   const QStringList &withValue,
                                                   const QStringList &switches = {})
{
    QHash<QString, QString> options;
    for (int i = first; i < args.size(); ++i) {
        const QString name = args.at(i).startsWith(QLatin1String("--")) ? args.at(i).mid(2) : QString();
        if (withValue.contains(name) && i + 1 < args.size())
            options.insert(name, args.at(++i));
        else if (switches.contains(name))
            options.insert(name, QString());
        else
            return std::nullopt;
    }
    return options;
}

// Stops the event loop after a time limit or after a number of lines.
class Recorder
{
public:
    Recorder(int seconds, int count, bool monotonic) : m_count(count), m_monotonic(monotonic)
    {
        m_clock.start();
        QTimer::singleShot(seconds * 1000, QCoreApplication::instance(), &QCoreApplication::quit);
    }

    void print(const QString &source, const QByteArray &payload, const QString &destination)
    {
        const long long nowNs = m_monotonic ? Bench::monotonicNs() : Bench::realtimeNs();
        std::printf("%lld %s %s %s %lld\n", static_cast<long long>(m_clock.elapsed()), qPrintable(source),
                    payload.isEmpty() ? "-" : payload.toHex().constData(),
                    destination.isEmpty() ? "-" : qPrintable(destination), nowNs / 1000);
        std::fflush(stdout);
        if (m_count > 0 && ++m_seen >= m_count)
            QCoreApplication::quit();
    }

private:
    QElapsedTimer m_clock;
    int m_count;
    bool m_monotonic;
    int m_seen = 0;
};

struct Options
{
    int seconds = 0;
    int count = 0;
    bool incoming = false;
    bool monotonic = false;
};

std::optional<Options> timeAndCount(const QStringList &args, int secondsIndex)
{
    const bool sniffing = args.at(1) == QLatin1String("sniff");
    const auto seconds = number(args.value(secondsIndex), 1, 1000000);
    const auto flags = optionsFrom(args, secondsIndex + 1, {QStringLiteral("count")},
                                   {sniffing ? QStringLiteral("incoming") : QStringLiteral("monotonic")});
    if (!seconds || !flags)
        return std::nullopt;
    Options options;
    options.seconds = int(*seconds);
    options.incoming = flags->contains(QStringLiteral("incoming"));
    options.monotonic = flags->contains(QStringLiteral("monotonic"));
    if (flags->contains(QStringLiteral("count"))) {
        const auto count = number(flags->value(QStringLiteral("count")), 1, 1000000000);
        if (!count)
            return std::nullopt;
        options.count = int(*count);
    }
    return options;
}

int listen(QCoreApplication &app, quint16 port, const Options &options)
{
    QUdpSocket socket;
    // Shares the port with other listeners on the same host; a program that binds exclusively
    // cannot run beside it, which is the point of that program's choice.
    if (!socket.bind(QHostAddress::AnyIPv4, port,
                     QAbstractSocket::ShareAddress | QAbstractSocket::ReuseAddressHint)) {
        std::fprintf(stderr, "bind %u: %s\n", port, qPrintable(socket.errorString()));
        return 1;
    }
    Recorder recorder(options.seconds, options.count, options.monotonic);
    QObject::connect(&socket, &QUdpSocket::readyRead, &socket, [&] {
        while (socket.hasPendingDatagrams()) {
            const QNetworkDatagram datagram = socket.receiveDatagram();
            recorder.print(datagram.senderAddress().toString(), datagram.data(),
                           datagram.destinationAddress().isNull() ? QString()
                                                                  : datagram.destinationAddress().toString());
        }
    });
    std::fprintf(stderr, "ready\n");
    std::fflush(stderr);
    return app.exec();
}

int send(const QHostAddress &address, quint16 port, const QByteArray &payload)
{
    QUdpSocket socket;
    if (socket.writeDatagram(payload, address, port) != payload.size()) {
        std::fprintf(stderr, "send: %s\n", qPrintable(socket.errorString()));
        return 1;
    }
    return 0;
}

sockaddr_in destination(const QHostAddress &address, quint16 port)
{
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(address.toIPv4Address());
    return to;
}

// A UDP socket that may broadcast, or -1.
int broadcastSocket()
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    const int on = 1;
    if (fd < 0 || ::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0) {
        std::perror("socket");
        return -1;
    }
    return fd;
}

// Datagrams to one destination, handed to the kernel with sendmmsg; the payloads are rewritten in
// place before each call, so the loop costs little next to the system call.
class Flooder
{
public:
    Flooder(int fd, int size, const sockaddr_in &to)
        : m_fd(fd), m_to(to), m_buffers(size_t(size) * bufferSize), m_iov(size_t(size)),
          m_messages(size_t(size))
    {
        for (size_t i = 0; i < size_t(size); ++i) {
            m_iov[i].iov_base = m_buffers.data() + i * bufferSize;
            m_messages[i] = {};
            m_messages[i].msg_hdr.msg_name = &m_to;
            m_messages[i].msg_hdr.msg_namelen = sizeof m_to;
            m_messages[i].msg_hdr.msg_iov = &m_iov[i];
            m_messages[i].msg_hdr.msg_iovlen = 1;
        }
    }

    // Datagram i: prefix + number + suffix.
    void set(size_t i, const QByteArray &prefix, long long number, const QByteArray &suffix)
    {
        char *out = static_cast<char *>(m_iov[i].iov_base);
        const size_t room = bufferSize - size_t(suffix.size()) - 24;
        const size_t head = std::min(size_t(prefix.size()), room);
        std::memcpy(out, prefix.constData(), head);
        size_t length = head + size_t(std::snprintf(out + head, 24, "%lld", number));
        std::memcpy(out + length, suffix.constData(), size_t(suffix.size()));
        m_iov[i].iov_len = length + size_t(suffix.size());
    }

    // Sends datagrams 0..count completely, offering the rest again while the socket refuses them
    // (a full buffer); false on any other error or once the deadline has passed.
    bool sendAll(int count, long long deadlineNs)
    {
        int done = 0;
        while (done < count) {
            const int n = ::sendmmsg(m_fd, m_messages.data() + done, unsigned(count - done), MSG_DONTWAIT);
            ++calls;
            if (n > 0) {
                done += n;
                sent += n;
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != ENOBUFS && errno != EINTR) {
                lastErrno = errno;
                return false;
            }
            ++refused;
            lastErrno = n < 0 ? errno : 0;
            if (Bench::monotonicNs() > deadlineNs)
                return false;
            sched_yield();
        }
        return true;
    }

    long long sent = 0;
    long long calls = 0;
    long long refused = 0;
    int lastErrno = 0;

private:
    static constexpr size_t bufferSize = 512;
    int m_fd;
    sockaddr_in m_to;
    std::vector<char> m_buffers;
    std::vector<iovec> m_iov;
    std::vector<mmsghdr> m_messages;
};

// The options flood and joins share: datagrams per call, and a CLOCK_MONOTONIC time to start at.
struct FloodOptions
{
    int batch = 64;
    long long startAtNs = 0;
};

std::optional<FloodOptions> floodOptions(const QHash<QString, QString> &flags)
{
    FloodOptions options;
    if (flags.contains(QStringLiteral("batch"))) {
        const auto batch = number(flags.value(QStringLiteral("batch")), 1, 1024);
        if (!batch)
            return std::nullopt;
        options.batch = int(*batch);
    }
    if (flags.contains(QStringLiteral("start-at"))) {
        const auto at = number(flags.value(QStringLiteral("start-at")), 1, 1LL << 62);
        if (!at || *at - Bench::monotonicNs() > 30000000000LL) {
            std::fprintf(stderr, "--start-at is more than 30 s away\n");
            return std::nullopt;
        }
        options.startAtNs = *at;
    }
    return options;
}

// A socket with a large send buffer, so that one call hands over a whole batch; -1 on failure.
int floodSocket(const FloodOptions &options)
{
    const int fd = broadcastSocket();
    const int sendBuffer = 4 * 1024 * 1024;
    if (fd >= 0)
        ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
    if (options.startAtNs)
        Bench::sleepUntilMonotonicNs(options.startAtNs);
    return fd;
}

QString lastError(const Flooder &flooder)
{
    return flooder.lastErrno
               ? QStringLiteral(", last error: ") + QString::fromLocal8Bit(std::strerror(flooder.lastErrno))
               : QString();
}

// Each line differs, so that nothing on the way can take them for repeats of one datagram. With a
// rate, each batch waits until its first line is due; a sender that falls behind catches up, and
// says by how much it was late.
int flood(const QHostAddress &address, quint16 port, const QByteArray &prefix, const QByteArray &suffix,
          int seconds, long long count, long long rate, const FloodOptions &options)
{
    const int fd = floodSocket(options);
    if (fd < 0)
        return 1;
    Flooder flooder(fd, options.batch, destination(address, port));
    const long long startNs = Bench::monotonicNs();
    // Paced, every line is sent, however late; flat out, the seconds end it.
    const long long endNs = startNs + (rate > 0 ? seconds + 60LL : seconds) * 1000000000LL;
    if (rate > 0)
        count = std::min(count, rate * seconds);
    long long next = 1;
    long long latestNs = 0;
    bool ok = true;
    while (ok && flooder.sent < count && Bench::monotonicNs() < endNs) {
        const int n = int(std::min<long long>(options.batch, count - flooder.sent));
        if (rate > 0) {
            const long long dueNs = startNs + (next - 1) * 1000000000LL / rate;
            Bench::sleepUntilMonotonicNs(dueNs);
            latestNs = std::max(latestNs, Bench::monotonicNs() - dueNs);
        }
        for (int i = 0; i < n; ++i)
            flooder.set(size_t(i), prefix, next + i, suffix);
        ok = flooder.sendAll(n, endNs);
        next += n;
    }
    const long long doneNs = Bench::monotonicNs();
    ::close(fd);
    const double elapsed = double(doneNs - startNs) / 1e9;
    std::printf(
        "sent %lld chat lines to %s:%u in %.3f s (%.0f per second), %lld sendmmsg calls, %lld refused "
        "and offered again%s\n",
        flooder.sent, qPrintable(address.toString()), port, elapsed, double(flooder.sent) / elapsed,
        flooder.calls, flooder.refused, qPrintable(lastError(flooder)));
    if (rate > 0)
        std::printf("paced at %lld per second in batches of %d; at most %.1f ms behind the schedule\n", rate,
                    options.batch, double(latestNs) / 1e6);
    std::printf("flood-start-ns %lld\nflood-end-ns %lld\nflood-sent %lld\n", startNs, doneNs, flooder.sent);
    return ok || flooder.sent > 0 ? 0 : 1;
}

int joins(const QHostAddress &address, quint16 chatPort, const QByteArray &name, const QByteArray &from,
          int count, const FloodOptions &options)
{
    const int fd = floodSocket(options);
    if (fd < 0)
        return 1;
    Flooder flooder(fd, options.batch, destination(address, presencePort));
    const long long startNs = Bench::monotonicNs();
    for (int first = 1; first <= count; first += options.batch) {
        const int n = std::min(options.batch, count - first + 1);
        for (int i = 0; i < n; ++i) {
            const int number = first + i;
            const QByteArray suffix = "\t198." + QByteArray::number(19 + (number >> 16)) + '.' +
                                      QByteArray::number((number >> 8) & 255) + '.' +
                                      QByteArray::number(number & 255);
            flooder.set(size_t(i), "1\tjoin", number, suffix);
        }
        if (!flooder.sendAll(n, startNs + 60000000000LL)) {
            std::fprintf(stderr, "sending the joins failed%s\n", qPrintable(lastError(flooder)));
            return 1;
        }
    }
    const long long joinsDoneNs = Bench::monotonicNs();
    const QByteArray line = name + "\tafter joins\t" + from;
    const sockaddr_in chatTo = destination(address, chatPort);
    const long long lineNs = Bench::monotonicNs();
    const bool lineSent = ::sendto(fd, line.constData(), size_t(line.size()), 0,
                                   reinterpret_cast<const sockaddr *>(&chatTo), sizeof chatTo) == line.size();
    ::close(fd);
    if (!lineSent) {
        std::perror("sending the chat line");
        return 1;
    }
    std::printf("sent %lld join notices to %s:%u in %.1f ms, %lld sendmmsg calls, %lld refused and offered "
                "again; then the chat line to port %u\n",
                flooder.sent, qPrintable(address.toString()), presencePort,
                double(joinsDoneNs - startNs) / 1e6, flooder.calls, flooder.refused, chatPort);
    std::printf("line-sent-ns %lld\n", lineNs);
    return 0;
}

// Lines at a steady rate from several source addresses in turn, so that a relay's bound per source
// does not cut the rate; each carries its sending time.
int paced(const QHostAddress &address, quint16 port, const QByteArray &name, quint32 firstSource, int sources,
          int rate, int seconds)
{
    std::vector<int> sockets;
    std::vector<QByteArray> names;
    for (int i = 0; i < sources; ++i) {
        const int fd = broadcastSocket();
        const sockaddr_in from = destination(QHostAddress(firstSource + quint32(i)), 0);
        if (fd < 0 || ::bind(fd, reinterpret_cast<const sockaddr *>(&from), sizeof from) != 0) {
            std::perror("source socket");
            return 1;
        }
        sockets.push_back(fd);
        names.push_back(QHostAddress(firstSource + quint32(i)).toString().toLatin1());
    }
    const sockaddr_in to = destination(address, port);
    const long long total = static_cast<long long>(rate) * seconds;
    const long long start = Bench::monotonicNs();
    long long sent = 0;
    for (long long n = 0; n < total; ++n) {
        Bench::sleepUntilMonotonicNs(start + n * 1000000000LL / rate);
        const size_t source = size_t(n % sources);
        const QByteArray line = name + '\t' + QByteArray::number(n) + ' ' +
                                QByteArray::number(Bench::realtimeNs() / 1000) + '\t' + names[source];
        if (::sendto(sockets[source], line.constData(), size_t(line.size()), 0,
                     reinterpret_cast<const sockaddr *>(&to), sizeof to) == line.size())
            ++sent;
    }
    std::printf("sent %lld of %lld in %.2f s\n", sent, total, double(Bench::monotonicNs() - start) / 1e9);
    for (const int fd : sockets)
        ::close(fd);
    return 0;
}

// A packet socket sees what leaves this network namespace on every interface, the loopback
// included, which no UDP socket beside an exclusive binder can.
int sniff(QCoreApplication &app, quint16 port, const Options &options)
{
    // Only ETH_P_ALL sockets are shown the packets that leave.
    const int fd = ::socket(AF_PACKET, SOCK_DGRAM, htons(ETH_P_ALL));
    if (fd < 0) {
        std::perror("packet socket");
        return 1;
    }
    Recorder recorder(options.seconds, options.count, false);
    QSocketNotifier notifier(fd, QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, &notifier, [&] {
        unsigned char buffer[65536];
        sockaddr_ll link = {};
        socklen_t linkLength = sizeof link;
        const ssize_t size = ::recvfrom(fd, buffer, sizeof buffer, MSG_DONTWAIT,
                                        reinterpret_cast<sockaddr *>(&link), &linkLength);
        // On the loopback every packet passes twice, once outgoing and once incoming. The copy of a
        // host's own broadcast that the kernel loops back never reaches packet sockets.
        const bool outgoing = link.sll_pkttype == PACKET_OUTGOING;
        const bool arriving = link.sll_pkttype == PACKET_HOST || link.sll_pkttype == PACKET_BROADCAST;
        if (size < ssize_t(sizeof(iphdr)) || link.sll_protocol != htons(ETH_P_IP) ||
            !(options.incoming ? arriving : outgoing))
            return;
        iphdr ip;
        std::memcpy(&ip, buffer, sizeof ip);
        const size_t ipLength = size_t(ip.ihl) * 4;
        if (ip.version != 4 || ip.protocol != IPPROTO_UDP || size < ssize_t(ipLength + sizeof(udphdr)))
            return;
        udphdr udp;
        std::memcpy(&udp, buffer + ipLength, sizeof udp);
        if (ntohs(udp.dest) != port)
            return;
        const size_t udpLength = ntohs(udp.len);
        if (udpLength < sizeof(udphdr) || ipLength + udpLength > size_t(size))
            return;
        const QByteArray payload(reinterpret_cast<const char *>(buffer + ipLength + sizeof(udphdr)),
                                 qsizetype(udpLength - sizeof(udphdr)));
        recorder.print(QHostAddress(ntohl(ip.saddr)).toString(), payload,
                       QHostAddress(ntohl(ip.daddr)).toString());
    });
    std::fprintf(stderr, "ready\n");
    std::fflush(stderr);
    const int result = app.exec();
    ::close(fd);
    return result;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const QString mode = args.value(1);

    if (mode == QLatin1String("listen") || mode == QLatin1String("sniff")) {
        const auto port = portArgument(args.value(2));
        const auto options = timeAndCount(args, 3);
        if (!port || !options)
            return usage();
        return mode == QLatin1String("listen") ? listen(app, *port, *options) : sniff(app, *port, *options);
    }
    if (mode == QLatin1String("send") && args.size() == 5) {
        const QHostAddress address(args.at(2));
        const auto port = portArgument(args.at(3));
        const QByteArray hex = args.at(4).toLatin1();
        const QByteArray payload = QByteArray::fromHex(hex);
        // fromHex skips what is not a hex digit; an odd or foreign text is a mistake in the test.
        if (address.isNull() || !port || hex.size() % 2 != 0 || payload.toHex() != hex.toLower())
            return usage();
        return send(address, *port, payload);
    }
    const QHostAddress address(args.value(2));
    const auto port = portArgument(args.value(3));
    const QByteArray name = args.value(4).toUtf8();
    const QByteArray from = args.value(5).toUtf8();
    if (mode != QLatin1String("flood") && mode != QLatin1String("joins") && mode != QLatin1String("paced"))
        return usage();
    if (const QString why = Bench::notInBenchNamespace(); !why.isEmpty()) {
        std::fprintf(stderr, "refusing to send: %s\n", qPrintable(why));
        return 2;
    }
    if (mode == QLatin1String("flood") && args.size() >= 7) {
        const auto seconds = number(args.at(6), 1, 600);
        const auto flags =
            optionsFrom(args, 7,
                        {QStringLiteral("count"), QStringLiteral("text"), QStringLiteral("batch"),
                         QStringLiteral("start-at"), QStringLiteral("rate")});
        const auto options = flags ? floodOptions(*flags) : std::nullopt;
        const auto count =
            number(flags ? flags->value(QStringLiteral("count"), QStringLiteral("100000000000")) : QString(),
                   1, 100000000000LL);
        const auto rate = number(
            flags ? flags->value(QStringLiteral("rate"), QStringLiteral("0")) : QString(), 0, 10000000);
        const QByteArray text =
            flags ? flags->value(QStringLiteral("text"), QStringLiteral("flood")).toUtf8() : QByteArray();
        // Every line must fit the flooder's buffers.
        if (address.isNull() || !port || !seconds || !options || !count || !rate || text.isEmpty() ||
            name.size() + text.size() + from.size() > 400)
            return usage();
        return flood(address, *port, name + '\t' + text + ' ', '\t' + from, int(*seconds), *count, *rate,
                     *options);
    }
    if (mode == QLatin1String("joins") && args.size() >= 7) {
        const auto count = number(args.at(6), 0, 1000000);
        const auto flags = optionsFrom(args, 7, {QStringLiteral("batch"), QStringLiteral("start-at")});
        const auto options = flags ? floodOptions(*flags) : std::nullopt;
        if (address.isNull() || !port || !count || !options || name.size() + from.size() > 400)
            return usage();
        return joins(address, *port, name, from, int(*count), *options);
    }
    if (mode == QLatin1String("paced") && args.size() == 9) {
        const quint32 first = QHostAddress(args.at(5)).toIPv4Address();
        const auto sources = number(args.at(6), 1, 200);
        const auto rate = number(args.at(7), 1, 100000);
        const auto seconds = number(args.at(8), 1, 600);
        if (address.isNull() || !port || first == 0 || !sources || !rate || !seconds)
            return usage();
        return paced(address, *port, name, first, int(*sources), int(*rate), int(*seconds));
    }
    return usage();
}
