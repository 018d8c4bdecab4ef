// zumzum-probe: sees and makes UDP datagrams on the test LAN, byte for byte.
//
//   listen <port> <seconds> [--count N]   one line per datagram received on <port>
//   send <ip> <port> <hex payload>        one datagram
//   flood <ip> <port> <name> <address> <seconds>
//                                         chat lines "name TAB flood N TAB address" with sendmmsg,
//                                         as fast as the socket takes them; prints how many went out
//   sniff <port> <seconds> [--count N] [--incoming]
//                                         one line per UDP datagram to <port> that this host sends
//                                         (or, with --incoming, that reaches it; datagrams to its
//                                         own address included, its own broadcasts not)
//
// Lines are "<ms since start> <source ip> <payload hex> <destination ip> <wall clock in us>",
// flushed at once; the destination is "-" when the kernel does not report it, the wall clock lets
// a test compare an arrival with a file's modification time. "ready" goes to stderr once the
// socket is open, so a test can wait for it before it starts the traffic it wants to see.

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QNetworkDatagram>
#include <QSocketNotifier>
#include <QTimer>
#include <QUdpSocket>

#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <netinet/udp.h>
#include <optional>
#include <string>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace {

int usage()
{
    std::fprintf(stderr, "usage: zumzum-probe listen <port> <seconds> [--count N]\n"
                         "       zumzum-probe send <ip> <port> <hex payload>\n"
                         "       zumzum-probe flood <ip> <port> <name> <address> <seconds>\n"
                         "       zumzum-probe sniff <port> <seconds> [--count N] [--incoming]\n");
    return 2;
}

std::optional<quint16> portArgument(const QString &text)
{
    bool ok = false;
    const uint value = text.toUInt(&ok);
    if (!ok || value == 0 || value > 65535)
        return std::nullopt;
    return quint16(value);
}

// Stops the event loop after a time limit or after a number of lines.
class Recorder
{
public:
    Recorder(int seconds, int count) : m_count(count)
    {
        m_clock.start();
        QTimer::singleShot(seconds * 1000, QCoreApplication::instance(), &QCoreApplication::quit);
    }

    void print(const QString &source, const QByteArray &payload, const QString &destination)
    {
        timespec now = {};
        clock_gettime(CLOCK_REALTIME, &now);
        std::printf("%lld %s %s %s %lld\n", static_cast<long long>(m_clock.elapsed()), qPrintable(source),
                    payload.isEmpty() ? "-" : payload.toHex().constData(),
                    destination.isEmpty() ? "-" : qPrintable(destination),
                    static_cast<long long>(now.tv_sec) * 1000000 + now.tv_nsec / 1000);
        std::fflush(stdout);
        if (m_count > 0 && ++m_seen >= m_count)
            QCoreApplication::quit();
    }

private:
    QElapsedTimer m_clock;
    int m_count;
    int m_seen = 0;
};

struct Options
{
    int seconds = 0;
    int count = 0;
    bool incoming = false;
};

std::optional<Options> timeAndCount(const QStringList &args, int secondsIndex)
{
    Options options;
    bool ok = false;
    options.seconds = args.value(secondsIndex).toInt(&ok);
    if (!ok || options.seconds <= 0)
        return std::nullopt;
    for (int i = secondsIndex + 1; i < args.size(); ++i) {
        if (args.at(i) == QLatin1String("--count") && i + 1 < args.size()) {
            options.count = args.at(++i).toInt(&ok);
            if (!ok || options.count <= 0)
                return std::nullopt;
        } else if (args.at(i) == QLatin1String("--incoming") && args.at(1) == QLatin1String("sniff")) {
            options.incoming = true;
        } else {
            return std::nullopt;
        }
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
    Recorder recorder(options.seconds, options.count);
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

// Each line differs, so that nothing on the way can take them for repeats of one datagram.
int flood(const QHostAddress &address, quint16 port, const QByteArray &name, const QByteArray &from,
          int seconds)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    const int on = 1;
    if (fd < 0 || ::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0) {
        std::perror("flood socket");
        return 1;
    }
    sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(address.toIPv4Address());
    constexpr int batch = 64;
    std::vector<std::string> payloads(batch);
    std::vector<iovec> iov(batch);
    std::vector<mmsghdr> messages(batch);
    long long sent = 0;
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < seconds * 1000LL) {
        for (int i = 0; i < batch; ++i) {
            payloads[i] =
                name.toStdString() + "\tflood " + std::to_string(sent + i) + "\t" + from.toStdString();
            iov[i] = {payloads[i].data(), payloads[i].size()};
            messages[i] = {};
            messages[i].msg_hdr.msg_name = &to;
            messages[i].msg_hdr.msg_namelen = sizeof to;
            messages[i].msg_hdr.msg_iov = &iov[i];
            messages[i].msg_hdr.msg_iovlen = 1;
        }
        const int n = ::sendmmsg(fd, messages.data(), batch, 0);
        if (n > 0)
            sent += n;
    }
    ::close(fd);
    std::printf("sent %lld\n", sent);
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
    Recorder recorder(options.seconds, options.count);
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
    if (mode == QLatin1String("flood") && args.size() == 7) {
        const QHostAddress address(args.at(2));
        const auto port = portArgument(args.at(3));
        bool ok = false;
        const int seconds = args.at(6).toInt(&ok);
        if (address.isNull() || !port || !ok || seconds <= 0)
            return usage();
        return flood(address, *port, args.at(4).toUtf8(), args.at(5).toUtf8(), seconds);
    }
    return usage();
}
