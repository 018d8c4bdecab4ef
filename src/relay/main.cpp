#include "app/broadcast.h"
#include "app/settingsfile.h"
#include "base/systemscheduler.h"
#include "lansocket.h"
#include "mosquittolink.h"
#include "net/datagram.h"
#include "net/lanaddress.h"
#include "net/socketowners.h"
#include "net/systeminterfaces.h"
#include "relayconfig.h"
#include "relaycore.h"

#include <QCoreApplication>
#include <QFile>
#include <QHostInfo>
#include <QRandomGenerator>
#include <QSocketNotifier>
#include <QTimer>
#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <mosquitto.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// EX_CONFIG of sysexits.h; the unit does not restart on it.
constexpr int notConfigured = 78;

void say(const QString &line)
{
    std::fprintf(stderr, "%s\n", line.toLocal8Bit().constData());
    std::fflush(stderr);
}

int fail(const QString &line)
{
    say(QStringLiteral("error: ") + line);
    return 1;
}

struct Subnet
{
    QString interface;
    QHostAddress address;
    QString mask;
    QString broadcast;
};

std::optional<Subnet> findSubnet(const RelayConfig::Settings &s, QString *error)
{
    QList<LanInterface> interfaces = SystemInterfaces::read();
    if (!s.interface.isEmpty()) {
        interfaces.removeIf([&](const LanInterface &i) { return i.name != s.interface; });
        if (interfaces.isEmpty()) {
            *error = QStringLiteral("there is no interface %1; name one that ip -br address lists")
                         .arg(s.interface);
            return std::nullopt;
        }
    }
    const auto choice = LanAddress::choose(interfaces, SystemInterfaces::defaultRouteSource());
    if (!choice) {
        *error = s.interface.isEmpty()
                     ? QStringLiteral("no interface with an IPv4 address that can broadcast; connect the LAN "
                                      "or name one with --interface")
                     : QStringLiteral("interface %1 is down or has no IPv4 address that can broadcast")
                           .arg(s.interface);
        return std::nullopt;
    }
    const LanInterface &chosen = interfaces.at(choice->interface);
    Subnet subnet;
    subnet.interface = chosen.name;
    subnet.address = choice->address;
    subnet.mask =
        s.subnetMask.isEmpty() ? maskOfPrefix(chosen.entries.at(choice->entry).prefixLength) : s.subnetMask;
    if (!isValidSubnetMask(subnet.mask)) {
        *error = QStringLiteral("the subnet mask %1 is not four numbers from 0 to 255").arg(subnet.mask);
        return std::nullopt;
    }
    const BroadcastResult broadcast = s_broadcast(subnet.address.toString(), subnet.mask);
    if (broadcast.error) {
        *error = QStringLiteral("cannot derive the broadcast address: %1").arg(*broadcast.error);
        return std::nullopt;
    }
    subnet.broadcast = broadcast.address;
    return subnet;
}

QString holderText(int port)
{
    const QList<SocketOwners::PortHolder> holders = SocketOwners::portHolders({port});
    if (holders.isEmpty() || !holders.first().process)
        return QStringLiteral("another program (run as root to see its name)");
    const auto &process = *holders.first().process;
    return QStringLiteral("%1 (PID %2)").arg(process.name).arg(process.pid);
}

QString bindFailure(int port, const QString &reason)
{
    QString text = QStringLiteral("cannot bind UDP port %1: %2.").arg(port).arg(reason);
    if (reason.contains(QLatin1String("in use")))
        text +=
            QStringLiteral(" It is held by %1. The relay needs the ports of the chat: run it on a machine "
                           "of the subnet where no chat and no other relay runs.")
                .arg(holderText(port));
    else if (reason.contains(QLatin1String("protected")))
        text += QStringLiteral(" Ports below 1024 need CAP_NET_BIND_SERVICE (the systemd unit grants it).");
    return text;
}

// Goes on while the machine sleeps or the process is stopped: a relay that wakes up must see how
// long it was away.
qint64 bootTimeMs()
{
    timespec now = {};
    ::clock_gettime(CLOCK_BOOTTIME, &now);
    return qint64(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// SIGTERM and SIGINT arrive as readable data on the event loop, so ending is an ordinary event.
int signalDescriptor()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigprocmask(SIG_BLOCK, &set, nullptr);
    return signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
}

QString countsLine(const RelayCore::Counts &c, quint64 droppedIncoming)
{
    return QStringLiteral("counts: forwarded=%1 rebroadcast=%2 dropped-format=%3 dropped-rate=%4 "
                          "dropped-queue=%5 dropped-loop=%6 dropped-unicast=%7")
        .arg(c.forwarded)
        .arg(c.rebroadcast)
        .arg(c.droppedFormat)
        .arg(c.droppedRate)
        .arg(c.droppedQueue + droppedIncoming)
        .arg(c.droppedLoop)
        .arg(c.droppedUnicast);
}

} // namespace

int main(int argc, char *argv[])
{
    // Blocked before any thread starts, so that every thread inherits the mask.
    const int signalFd = signalDescriptor();
    // A write to a broker that has dropped the connection (libmosquitto's TLS writes) raises
    // SIGPIPE, which would end the relay; the failed write is handled as a lost connection.
    std::signal(SIGPIPE, SIG_IGN);
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("zumzum-chat-relay"));
    const QStringList arguments = app.arguments().mid(1);

    RelayConfig::Settings settings;
    if (const auto named = RelayConfig::configPathOf(arguments)) {
        settings.configPath = *named;
        settings.configNamed = true;
    }
    QFile file(settings.configPath);
    if (file.open(QIODevice::ReadOnly)) {
        if (const auto error = RelayConfig::applyFile(settings, QString::fromUtf8(file.readAll())))
            return fail(QStringLiteral("%1: %2").arg(settings.configPath, *error));
    } else if (settings.configNamed || file.exists()) {
        return fail(QStringLiteral("cannot read %1: %2").arg(settings.configPath, file.errorString()));
    }
    if (const auto error = RelayConfig::applyArguments(settings, arguments))
        return fail(*error + QStringLiteral(" (see --help)"));
    if (settings.help) {
        std::fputs(RelayConfig::usage().toLocal8Bit().constData(), stdout);
        return 0;
    }

    if (settings.broker.isEmpty()) {
        // Its own status, so that the service is not restarted over and over while unconfigured.
        fail(QStringLiteral("no broker is set: set broker = mqtts://host in %1 or give --broker")
                 .arg(settings.configPath));
        return notConfigured;
    }
    QString error;
    const auto broker = RelayConfig::parseBroker(settings.broker, &error);
    if (!broker)
        return fail(error);
    if (!broker->tls && !RelayConfig::isLocalHost(broker->host) && !settings.allowPlaintext)
        return fail(QStringLiteral("%1 is plain text to another machine: use mqtts://, or allow it with "
                                   "allow-plaintext = yes")
                        .arg(settings.broker));
    if (settings.cert.isEmpty() != settings.key.isEmpty())
        return fail(QStringLiteral("a client certificate needs both cert and key"));
    if (!broker->tls && !settings.cert.isEmpty())
        return fail(QStringLiteral("a client certificate needs mqtts://"));
    // Under systemd the credentials file, readable by root only, is handed over by LoadCredential=.
    const QString handedOver = qEnvironmentVariable("CREDENTIALS_DIRECTORY");
    if (!handedOver.isEmpty()) {
        QFile loaded(handedOver + QStringLiteral("/relay-credentials"));
        if (loaded.open(QIODevice::ReadOnly)) {
            const QStringList lines = QString::fromUtf8(loaded.readAll()).split(QLatin1Char('\n'));
            if (std::any_of(lines.cbegin(), lines.cend(), [](const QString &line) {
                    return !line.trimmed().isEmpty() && !line.trimmed().startsWith(QLatin1Char('#'));
                }))
                settings.credentials = loaded.fileName();
        }
    }
    RelayConfig::Credentials credentials;
    if (!settings.credentials.isEmpty()) {
        QFile credentialsFile(settings.credentials);
        if (!credentialsFile.open(QIODevice::ReadOnly))
            return fail(QStringLiteral("cannot read the credentials file %1: %2")
                            .arg(settings.credentials, credentialsFile.errorString()));
        const auto parsed =
            RelayConfig::parseCredentials(QString::fromUtf8(credentialsFile.readAll()), &error);
        if (!parsed)
            return fail(QStringLiteral("%1: %2").arg(settings.credentials, error));
        credentials = *parsed;
    }
    const auto chatPort = SettingsFile::chatPortNumber(settings.chatPort);
    if (!chatPort || *chatPort == Datagram::presencePort)
        return fail(QStringLiteral("the chat port \"%1\" is not a port number from 1 to 65535 other than %2")
                        .arg(settings.chatPort)
                        .arg(Datagram::presencePort));
    const auto subnet = findSubnet(settings, &error);
    if (!subnet)
        return fail(error);
    if (settings.site.isEmpty())
        settings.site = QHostInfo::localHostName();

    RelayCore::Settings core;
    core.topicPrefix = settings.topicPrefix;
    core.subnetKey = QStringLiteral("%1-%2").arg(subnet->broadcast).arg(*chatPort);
    core.chatPort = *chatPort;
    core.ownAddress = subnet->address.toIPv4Address();
    core.broadcastAddress = QHostAddress(subnet->broadcast).toIPv4Address();
    core.interfaceIndex = int(if_nametoindex(subnet->interface.toLocal8Bit().constData()));
    core.site = settings.site;
    core.relayId = QStringLiteral("%1-%2")
                       .arg(RelayConfig::topicLevel(settings.site).left(40))
                       .arg(QRandomGenerator::system()->generate(), 8, 16, QLatin1Char('0'));

    mosquitto_lib_init();
    MosquittoLink::Options options;
    options.host = broker->host;
    options.port = broker->port;
    options.tls = broker->tls;
    options.ca = settings.ca;
    options.cert = settings.cert;
    options.key = settings.key;
    options.username = credentials.username;
    options.password = credentials.password;
    options.clientId = core.relayId;
    const QString where =
        QStringLiteral("subnet %1 (interface %2, address %3, broadcast %4, chat port %5)")
            .arg(core.subnetKey, subnet->interface, subnet->address.toString(), subnet->broadcast)
            .arg(*chatPort);

    if (settings.check) {
        std::printf("configuration: %s\n%s\nbroker: %s\n", settings.configPath.toLocal8Bit().constData(),
                    where.toLocal8Bit().constData(), settings.broker.toLocal8Bit().constData());
        for (int port : {int(Datagram::presencePort), int(*chatPort)}) {
            if (!SocketOwners::portHolders({port}).isEmpty())
                std::printf("port %d: held by %s\n", port, holderText(port).toLocal8Bit().constData());
        }
        options.clientId = core.relayId + QStringLiteral("-check");
        options.refusedRetrySeconds = 3600;
        MosquittoLink link(options);
        if (!link.start(&error))
            return fail(error);
        int result = 1;
        QMap<QString, QString> relays;
        const QString relaysTopic = settings.topicPrefix + QStringLiteral("/v1/relays/");
        QObject::connect(&link, &BrokerLink::connected, &app, [&] {
            std::printf("connected: %s\n", settings.broker.toLocal8Bit().constData());
            link.subscribe(relaysTopic + QStringLiteral("+/+"), BrokerLink::Delivery::OthersOnly);
            result = 0;
            QTimer::singleShot(2000, &app, &QCoreApplication::quit);
        });
        QObject::connect(&link, &BrokerLink::messageReceived, &app,
                         [&](const QString &topic, const QByteArray &payload, bool) {
                             if (!payload.isEmpty())
                                 relays.insert(topic.mid(relaysTopic.size()), QString::fromUtf8(payload));
                         });
        QObject::connect(&link, &BrokerLink::refused, &app, [&](const QString &reason) {
            std::printf("refused: %s (check the credentials and the broker's ACL)\n",
                        reason.toLocal8Bit().constData());
            app.quit();
        });
        QObject::connect(&link, &BrokerLink::disconnected, &app, [&](const QString &reason) {
            std::printf("not connected: %s\n", reason.toLocal8Bit().constData());
            app.quit();
        });
        QTimer::singleShot(20000, &app, [&] {
            std::printf("not connected: no answer from the broker within 20 s\n");
            app.quit();
        });
        app.exec();
        link.stop();
        std::printf("relays seen: %lld\n", static_cast<long long>(relays.size()));
        for (auto it = relays.cbegin(); it != relays.cend(); ++it)
            std::printf("  %s: %s\n", it.key().toLocal8Bit().constData(),
                        it.value().toLocal8Bit().constData());
        mosquitto_lib_cleanup();
        return result;
    }

    // Bound before the relay exists, so that a held port ends the start with its holder's name;
    // the datagrams reach the relay once it does.
    std::function<void(RelayCore::Channel, const QList<LanDatagram> &)> heard;
    LanSocket presenceSocket;
    LanSocket chatSocket;
    if (!presenceSocket.bind(Datagram::presencePort, [&](const QList<LanDatagram> &datagrams) {
            if (heard)
                heard(RelayCore::Channel::Presence, datagrams);
        }))
        return fail(bindFailure(Datagram::presencePort, presenceSocket.errorString()));
    if (!chatSocket.bind(*chatPort, [&](const QList<LanDatagram> &datagrams) {
            if (heard)
                heard(RelayCore::Channel::Chat, datagrams);
        }))
        return fail(bindFailure(*chatPort, chatSocket.errorString()));

    say(QStringLiteral("start: zumzum-chat-relay %1, site %2, relay %3, %4, broker %5%6")
            .arg(QStringLiteral(ZUMZUM_VERSION), settings.site, core.relayId, where, settings.broker,
                 !broker->tls ? (RelayConfig::isLocalHost(broker->host)
                                     ? QStringLiteral(", plain text to this machine")
                                     : QStringLiteral(", plain text allowed: WARNING, the broker traffic and "
                                                      "the password cross the network unencrypted"))
                              : QString()));

    SystemScheduler scheduler;
    SocketLan lan(presenceSocket, chatSocket, core.broadcastAddress, *chatPort);
    options.willTopic =
        QStringLiteral("%1/v1/relays/%2/%3").arg(settings.topicPrefix, core.subnetKey, core.relayId);
    MosquittoLink link(options);
    // Connected before the relay's own handlers, so that the log tells the cause before the effect.
    QObject::connect(&link, &BrokerLink::connected, &app,
                     [&] { say(QStringLiteral("connected: %1").arg(settings.broker)); });
    QObject::connect(&link, &BrokerLink::disconnected, &app,
                     [&](const QString &reason) { say(QStringLiteral("disconnected: %1").arg(reason)); });
    QObject::connect(&link, &BrokerLink::refused, &app, [&](const QString &reason, int retry) {
        say(QStringLiteral("refused: the broker refused this relay (%1); check the credentials and the ACL; "
                           "next try in %2 s")
                .arg(reason)
                .arg(retry));
    });
    RelayCore relay(core, link, lan, scheduler, &bootTimeMs);
    heard = [&](RelayCore::Channel channel, const QList<LanDatagram> &datagrams) {
        relay.lanDatagrams(channel, datagrams);
    };
    QObject::connect(&relay, &RelayCore::roleChanged, &app, [&](RelayCore::Role role) {
        if (role == RelayCore::Role::Active)
            say(QStringLiteral("active: forwarding for subnet %1").arg(core.subnetKey));
        else
            say(QStringLiteral(
                    "standby: not forwarding for subnet %1 (another relay does, or the broker is away)")
                    .arg(core.subnetKey));
    });
    QObject::connect(&relay, &RelayCore::peerLost, &app, [&](const QString &id) {
        say(QStringLiteral("lost: relay %1 of this subnet sent no heartbeat for %2 ms")
                .arg(id)
                .arg(RelayLimits().lostMs));
    });
    QObject::connect(&relay, &RelayCore::leaseLapsed, &app, [&] {
        say(QStringLiteral("lapsed: no heartbeat of this relay came back from the broker for %1 ms (it was "
                           "stopped, or the broker does not answer); it stops forwarding until one does")
                .arg(RelayLimits().leaseMs));
    });
    auto stats = scheduler.createTimer(Timer::Repeating, Qt::VeryCoarseTimer);
    QObject::connect(stats.get(), &Timer::timeout, &app,
                     [&] { say(countsLine(relay.counts(), link.droppedIncoming())); });
    stats->start(settings.statsInterval * 1000);

    QSocketNotifier signalNotifier(signalFd, QSocketNotifier::Read);
    QObject::connect(&signalNotifier, &QSocketNotifier::activated, &app, [&] {
        signalfd_siginfo info;
        while (::read(signalFd, &info, sizeof info) == sizeof info) {
        }
        app.quit();
    });

    if (!link.start(&error))
        return fail(error);
    app.exec();
    heard = nullptr;
    const bool stopped = link.stop();
    say(countsLine(relay.counts(), link.droppedIncoming()));
    say(QStringLiteral("stop: ended by signal"));
    if (!stopped)
        std::_Exit(0); // the broker's host does not answer; nothing is left to send to it
    mosquitto_lib_cleanup();
    ::close(signalFd);
    return 0;
}
