#include "doctor/checks.h"
#include "doctor/filecapability.h"
#include "doctor/machine.h"
#include "doctor/presencelog.h"
#include "doctor/report.h"
#include "doctor/tcplisteners.h"
#include "net/socketowners.h"
#include "share/droppointstore.h"
#include "share/sharestore.h"

#include <QFile>
#include <QJsonArray>
#include <QTemporaryDir>
#include <QTest>

namespace {

using Kind = LanInterface::Kind;

LanInterface interface(const QString &name, const QString &address, int prefix, Kind kind = Kind::Lan)
{
    LanInterface lan;
    lan.name = name;
    lan.kind = kind;
    lan.up = lan.running = lan.canBroadcast = true;
    lan.entries.append({QHostAddress(address), prefix, {}});
    return lan;
}

// One LAN interface chosen through the default route, the default settings, a clean live check.
Diagnosis healthy()
{
    Diagnosis d;
    d.interfaces = {interface(QStringLiteral("eth0"), QStringLiteral("192.168.1.23"), 24)};
    d.choice = LanAddress::choose(d.interfaces, QHostAddress(QStringLiteral("192.168.1.23")));
    d.choiceCarriesDefaultRoute = true;
    d.subnetMask = QStringLiteral("255.255.255.0");
    d.chatPort = QStringLiteral("1000");
    d.chatPortNumber = 1000;
    d.broadcastAddress = QStringLiteral("192.168.1.255");
    d.root = true;
    d.liveRan = true;
    d.ownBroadcastHeard = true;
    d.peers = {{QStringLiteral("taro"), QStringLiteral("192.168.1.5")}};
    return d;
}

QStringList codes(const Diagnosis &d)
{
    QStringList out;
    for (const auto &problem : Checks::problems(d))
        out.append(problem.code);
    return out;
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QString message(const Diagnosis &d, const QString &code)
{
    for (const auto &problem : Checks::problems(d)) {
        if (problem.code == code)
            return problem.message;
    }
    return QString();
}

} // namespace

// Each case is a cause users meet: the doctor must name it, and must not cry wolf on a healthy LAN.
class TestDoctor : public QObject
{
    Q_OBJECT

private slots:
    void healthyLanHasNoProblems()
    {
        QCOMPARE(codes(healthy()), QStringList());
        QCOMPARE(Report::exitStatus(Checks::problems(healthy())), 0);
    }

    void noInterface()
    {
        Diagnosis d = healthy();
        d.choice.reset();
        d.liveRan = false;
        QCOMPARE(codes(d), QStringList{QStringLiteral("no-interface")});
    }

    void containerBridgeAndSeveralLans()
    {
        Diagnosis d = healthy();
        d.interfaces = {interface(QStringLiteral("eth0"), QStringLiteral("192.168.1.23"), 24),
                        interface(QStringLiteral("docker0"), QStringLiteral("172.17.0.1"), 16, Kind::Bridge),
                        interface(QStringLiteral("wlan0"), QStringLiteral("10.0.0.7"), 24)};
        d.choice = LanAddress::choose(d.interfaces, QHostAddress(QStringLiteral("172.17.0.1")));
        d.broadcastAddress = QStringLiteral("172.17.0.255");
        const QStringList found = codes(d);
        QVERIFY2(found.contains(QStringLiteral("container-bridge")), qPrintable(found.join(u' ')));
        QVERIFY(found.contains(QStringLiteral("several-lans")));
        QVERIFY(message(d, QStringLiteral("container-bridge")).contains(QStringLiteral("docker0")));
        // The docker bridge is not a LAN of its own.
        QVERIFY(message(d, QStringLiteral("several-lans")).contains(QStringLiteral("eth0、wlan0")));

        d.interfaces[2].up = false;
        QVERIFY(!codes(d).contains(QStringLiteral("several-lans")));
    }

    void broadcastOffSubnet_data()
    {
        QTest::addColumn<QString>("address");
        QTest::addColumn<int>("prefix");
        QTest::addColumn<QString>("derived");
        QTest::addColumn<bool>("defaultRoute");
        QTest::addColumn<QString>("advice"); // empty: no problem
        QTest::newRow("255.255.0.0 on a /24")
            << "192.168.1.23" << 24 << "192.168.255.255" << true << "255.255.255.0";
        QTest::newRow("255.255.255.0 on a /16") << "10.1.2.3" << 16 << "10.1.2.255" << true << "255.255.0.0";
        QTest::newRow("matching /8") << "10.1.2.3" << 8 << "10.255.255.255" << true << "";
        QTest::newRow("/23: no mask fits") << "192.168.2.9" << 23 << "192.168.2.255" << true << "8 ビット";
        QTest::newRow("/25: no mask fits") << "192.168.1.23" << 25 << "192.168.1.255" << true << "8 ビット";
        QTest::newRow("255.255.255.255 through the default route")
            << "192.168.1.23" << 24 << "255.255.255.255" << true << "";
        QTest::newRow("255.255.255.255 without a default route")
            << "192.168.1.23" << 24 << "255.255.255.255" << false << "既定の経路がない";
    }

    void broadcastOffSubnet()
    {
        QFETCH(QString, address);
        QFETCH(int, prefix);
        QFETCH(QString, derived);
        QFETCH(bool, defaultRoute);
        QFETCH(QString, advice);
        Diagnosis d = healthy();
        d.interfaces = {interface(QStringLiteral("eth0"), address, prefix)};
        d.choice = LanAddress::choose(d.interfaces, std::nullopt);
        d.choiceCarriesDefaultRoute = defaultRoute;
        d.broadcastAddress = derived;
        const QString text = message(d, QStringLiteral("broadcast-off-subnet"));
        QCOMPARE(text.isEmpty(), advice.isEmpty());
        QVERIFY2(text.contains(advice), qPrintable(text));
    }

    void broadcastDerivationFailed()
    {
        Diagnosis d = healthy();
        d.broadcastError = QStringLiteral("サブネットマスク「255.255.255」の 4 番目の数字がありません。");
        QCOMPARE(message(d, QStringLiteral("broadcast-off-subnet")), *d.broadcastError);
    }

    void portInUse()
    {
        Diagnosis d = healthy();
        d.liveRan = false;
        d.portHolders = {
            {1000, SocketOwners::Process{4242, QStringLiteral("zumzum-chat"),
                                         QStringLiteral("/usr/bin/zumzum-chat")}},
            {50011, SocketOwners::Process{77, QStringLiteral("nc"), QStringLiteral("/usr/bin/nc.openbsd")}}};
        QVERIFY(!Checks::liveCheckAllowed(d));
        const auto problems = Checks::problems(d);
        QCOMPARE(problems.size(), 2);
        QVERIFY(problems.at(0).message.contains(QStringLiteral("すでに動いているチャット（PID 4242）")));
        QVERIFY(problems.at(1).message.contains(QStringLiteral("nc（PID 77）")));
        // The presence port is fixed: changing the chat port does not help there.
        QVERIFY(!problems.at(1).message.contains(QStringLiteral("ポート番号を変えて")));

        d.portHolders = {{1000, std::nullopt}};
        QVERIFY(
            message(d, QStringLiteral("port-in-use")).contains(QStringLiteral("sudo zumzum-chat-doctor")));
    }

    void bindPermission()
    {
        Diagnosis d = healthy();
        d.root = false;
        d.chatExecutable = QStringLiteral("/usr/bin/zumzum-chat");
        QVERIFY(message(d, QStringLiteral("no-bind-permission"))
                    .contains(QStringLiteral("sudo setcap cap_net_bind_service=+ep /usr/bin/zumzum-chat")));
        d.chatHasBindCapability = true;
        QCOMPARE(codes(d), QStringList());
        d.chatHasBindCapability = false;
        d.unprivilegedPortStart = 80; // the sysctl lowered
        QCOMPARE(codes(d), QStringList());
        d.unprivilegedPortStart = 1024;
        d.chatPortNumber = 1024;
        QCOMPARE(codes(d), QStringList());
    }

    void firewall()
    {
        Diagnosis d = healthy();
        d.firewallView = Diagnosis::FirewallView::Read;
        QCOMPARE(codes(d), QStringList());
        d.firewallName = QStringLiteral("ufw");
        d.droppedPorts = {1000, 50011};
        QVERIFY(
            message(d, QStringLiteral("firewall")).contains(QStringLiteral("sudo ufw allow zumzum-chat")));
        // Unread rules are no finding.
        d.firewallView = Diagnosis::FirewallView::NeedsRoot;
        QCOMPARE(codes(d), QStringList());
    }

    // Links to shared files fail when the share range is filtered, whichever filter does it.
    void shareFirewall()
    {
        Diagnosis d = healthy();
        d.firewallView = Diagnosis::FirewallView::Read;
        d.shareFirewallName = QStringLiteral("nftables");
        d.droppedSharePorts = Checks::sharePorts();
        QCOMPARE(codes(d), QStringList{QStringLiteral("share-firewall")});
        const QString text = message(d, QStringLiteral("share-firewall"));
        QVERIFY2(text.contains(QStringLiteral("TCP ポート 50012〜50019")) &&
                     text.contains(QStringLiteral("accept する規則")) &&
                     text.contains(QStringLiteral("50012-50019")),
                 qPrintable(text));
        d.droppedSharePorts = {50013, 50019};
        QVERIFY(message(d, QStringLiteral("share-firewall")).contains(QStringLiteral("50013、50019")));
        d.shareFirewallName = QStringLiteral("ufw");
        QVERIFY(message(d, QStringLiteral("share-firewall"))
                    .contains(QStringLiteral("sudo ufw allow zumzum-chat")));
        // A dropped share port is not a dropped chat port.
        QVERIFY(!codes(d).contains(QStringLiteral("firewall")));
        d.firewallView = Diagnosis::FirewallView::NeedsRoot;
        QCOMPARE(codes(d), QStringList());
    }

    // Nothing on the share ports is a fault only while a chat runs here with files shared: its
    // server listens only then. Sharing nothing is the usual state, and no fault.
    void shareListening()
    {
        Diagnosis d = healthy();
        d.shareListeningPorts = QList<int>{};
        QCOMPARE(codes(d), QStringList());
        QCOMPARE(Checks::notes(d).size(), 1);
        QVERIFY(Checks::notes(d).constFirst().contains(QStringLiteral("問題ではありません")));
        const SocketOwners::Process chat{4321, QStringLiteral("zumzum-chat"),
                                         QStringLiteral("/usr/bin/zumzum-chat")};
        d.portHolders = {{1000, chat}, {50011, chat}};
        const QStringList portsInUse{QStringLiteral("port-in-use"), QStringLiteral("port-in-use")};
        d.chatServes = false;
        QCOMPARE(codes(d), portsInUse);
        QCOMPARE(Checks::notes(d).size(), 1);
        QVERIFY2(Checks::notes(d).constFirst().contains(QStringLiteral("開いている受け取り口もない")) &&
                     Checks::notes(d).constFirst().contains(QStringLiteral("問題ではありません")),
                 qPrintable(Checks::notes(d).constFirst()));
        // The history's file could not be read: whether anything is shared is unknown, so no fault,
        // and the note says what to do should links not open.
        d.chatServes.reset();
        d.historyPath = QStringLiteral("/home/taro/.local/share/zumzum-chat/history.sqlite");
        QCOMPARE(codes(d), portsInUse);
        QVERIFY2(Checks::notes(d).constFirst().contains(d.historyPath) &&
                     Checks::notes(d).constFirst().contains(QStringLiteral("起動し直して")),
                 qPrintable(Checks::notes(d).constFirst()));
        d.chatServes = true;
        QCOMPARE(codes(d), portsInUse + QStringList{QStringLiteral("share-not-listening")});
        QVERIFY2(message(d, QStringLiteral("share-not-listening")).contains(QStringLiteral("PID 4321")) &&
                     message(d, QStringLiteral("share-not-listening")).contains(QStringLiteral("受け取り口")),
                 qPrintable(message(d, QStringLiteral("share-not-listening"))));
        QVERIFY(Checks::notes(d).isEmpty());
        d.shareListeningPorts = QList<int>{50013};
        QVERIFY(!codes(d).contains(QStringLiteral("share-not-listening")));
        QVERIFY(Report::text(d, {}, {}).contains(QStringLiteral("TCP 50013 で待ち受けています")));
        // Another user's program on the chat port: whether a chat runs is unknown, so no accusation.
        d.shareListeningPorts = QList<int>{};
        d.portHolders = {{1000, std::nullopt}};
        QVERIFY(!codes(d).contains(QStringLiteral("share-not-listening")));
        // /proc/net/tcp unread: nothing said either way.
        d.shareListeningPorts.reset();
        QVERIFY(Checks::notes(d).isEmpty());

        const QString tcp = QStringLiteral(
            "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout "
            "inode\n"
            "   0: 0B00120A:C35D 00000000:0000 0A 00000000:00000000 00:00000000 00000000  1000 0 71234 1\n"
            "   1: 0B00120A:C35C 0500120A:D431 01 00000000:00000000 00:00000000 00000000  1000 0 71235 1\n"
            "   2: 00000000:C35B 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0 0 71236 1\n"
            "   3: 0B00120A:C35D 00000000:0000 0A 00000000:00000000 00:00000000 00000000  1000 0 71237 1\n");
        // 50013 listening (twice), 50012 only a connection, 50011 outside the range.
        QCOMPARE(TcpListeners::ports(tcp, 50012, 50019), QList<int>{50013});
        const QString tcp6 = QStringLiteral(
            "   0: 00000000000000000000000000000000:C363 00000000000000000000000000000000:0000 0A 0 0 0 0\n");
        QCOMPARE(TcpListeners::ports(tcp6, 50012, 50019), QList<int>{50019});
    }

    // The doctor reads the chat's shares and drop points as the chat keeps them: only this chat
    // port's, only those that have not expired, and never writes the file.
    void sharesReadFromTheChatsFile()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("history.sqlite"));
        QCOMPARE(Machine::chatServes(path, 1000, 0), std::nullopt);
        QVERIFY2(!QFile::exists(path), "the doctor made the chat's file");
        constexpr qint64 now = 1'700'000'000'000;
        {
            ShareStore store;
            QCOMPARE(store.open(path, 1000), QString());
        }
        QCOMPARE(Machine::chatServes(path, 1000, now), std::optional<bool>(false));
        ShareEntry entry;
        entry.code = QStringLiteral("K7QXM2PDA9");
        entry.path = entry.name = QStringLiteral("a.txt");
        entry.sharedMs = now - 1000;
        entry.expiresMs = now + 1000;
        {
            ShareStore store;
            QCOMPARE(store.open(path, 1000), QString());
            QCOMPARE(store.insert(entry), QString());
        }
        const QByteArray before = readAll(path);
        QCOMPARE(Machine::chatServes(path, 1000, now), std::optional<bool>(true));
        QCOMPARE(Machine::chatServes(path, 1001, now), std::optional<bool>(false));
        QCOMPARE(Machine::chatServes(path, 1000, now + 1000), std::optional<bool>(false));
        QCOMPARE(readAll(path), before);
        // "Until the program ends": the running chat's own.
        entry.code = QStringLiteral("M2PDA9K7QX");
        entry.expiresMs = 0;
        {
            ShareStore store;
            QCOMPARE(store.open(path, 1001), QString());
            QCOMPARE(store.insert(entry), QString());
        }
        QCOMPARE(Machine::chatServes(path, 1001, now + 1000), std::optional<bool>(true));

        // An open drop point is served on the same port: with every share gone, a chat whose drop
        // point has not ended still listens, and only that chat.
        {
            ShareStore store;
            QCOMPARE(store.open(path, 1001), QString());
            QCOMPARE(store.remove(entry.code), QString());
        }
        QCOMPARE(Machine::chatServes(path, 1001, now + 1000), std::optional<bool>(false));
        DropPointEntry dropPoint;
        dropPoint.code = QStringLiteral("PDA9K7QXM2");
        dropPoint.folder = dir.path();
        dropPoint.createdMs = now - 1000;
        dropPoint.expiresMs = now + 5000;
        {
            DropPointStore store;
            QCOMPARE(store.open(path, 1002), QString());
            QCOMPARE(store.insert(dropPoint), QString());
        }
        QCOMPARE(Machine::chatServes(path, 1002, now), std::optional<bool>(true));
        QCOMPARE(Machine::chatServes(path, 1001, now), std::optional<bool>(false));
        QCOMPARE(Machine::chatServes(path, 1002, now + 5000), std::optional<bool>(false));

        // A file of the user's that is no database, or a history without shares.
        const QString notes = dir.filePath(QStringLiteral("notes.sqlite"));
        QFile file(notes);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QByteArray(4096, 'x'));
        file.close();
        QCOMPARE(Machine::chatServes(notes, 1000, now), std::nullopt);
    }

    void liveCheck()
    {
        Diagnosis d = healthy();
        d.ownBroadcastHeard = false;
        d.peers.clear();
        QCOMPARE(codes(d),
                 (QStringList{QStringLiteral("own-broadcast-not-heard"), QStringLiteral("no-peers")}));
        // Listening only, nothing of its own can come back.
        d.listenOnly = true;
        QCOMPARE(codes(d), QStringList{QStringLiteral("no-peers")});
        // Peers on another subnet are out of reach of any broadcast: the relay is named.
        QVERIFY(Checks::problems(d).constFirst().message.contains(QStringLiteral("zumzum-chat-relay")));
        d.liveRan = false;
        QCOMPARE(codes(d), QStringList());
    }

    void presenceLog()
    {
        PresenceLog log(QStringLiteral("192.168.1.23"));
        log.feed(
            {QStringLiteral("2\t(診断) pc\t192.168.1.23"), QStringLiteral("1\t(診断) pc\t192.168.1.23")});
        QVERIFY(log.ownHeard());
        QVERIFY(log.peers().isEmpty());
        log.feed({QStringLiteral("1\ttaro\t192.168.1.5"), QStringLiteral("1\ttaro again\t192.168.1.5"),
                  QStringLiteral("2\thanako\t192.168.1.6"), QStringLiteral("taro\thello\t192.168.1.5"),
                  QStringLiteral("1\tshort")});
        QCOMPARE(log.peers().size(), 1);
        QCOMPARE(log.peers().at(0).name, QStringLiteral("taro"));

        // A flood of made-up joins and a huge name stay bounded.
        QStringList flood;
        for (int i = 0; i < PresenceLog::maxPeers + 50; ++i)
            flood.append(
                QStringLiteral("1\t%1\t10.%2.%3.1").arg(QString(1000, u'x')).arg(i / 256).arg(i % 256));
        log.feed(flood);
        QCOMPARE(log.peers().size(), PresenceLog::maxPeers);
        QCOMPARE(log.peers().last().name.size(), PresenceLog::maxText);
    }

    void socketOwners()
    {
        const QString udp = QStringLiteral("   sl  local_address rem_address   st tx_queue rx_queue tr "
                                           "tm->when retrnsmt   uid  timeout inode ref pointer drops\n"
                                           "  123: 00000000:C35B 00000000:0000 07 00000000:00000000 "
                                           "00:00000000 00000000     0        0 51234 2 0000 0\n"
                                           "  124: 0100007F:03E8 00000000:0000 07 00000000:00000000 "
                                           "00:00000000 00000000  1000        0 51235 2 0000 0\n"
                                           "  125: 00000000:03E9 00000000:0000 07 00000000:00000000 "
                                           "00:00000000 00000000  1000        0 51236 2 0000 0\n");
        QCOMPARE(SocketOwners::inodesOnPort(udp, 50011), QList<quint64>{51234});
        QCOMPARE(SocketOwners::inodesOnPort(udp, 1000), QList<quint64>{51235});
        QVERIFY(SocketOwners::inodesOnPort(udp, 1002).isEmpty());
        QCOMPARE(SocketOwners::socketInode(QStringLiteral("socket:[51234]")), 51234u);
        QCOMPARE(SocketOwners::socketInode(QStringLiteral("pipe:[51234]")), 0u);
        QCOMPARE(SocketOwners::socketInode(QStringLiteral("/dev/null")), 0u);
        QVERIFY(
            SocketOwners::isChat({1, QStringLiteral("zumzum-chat"), QStringLiteral("/opt/z/zumzum-chat")}));
        QVERIFY(
            !SocketOwners::isChat({1, QStringLiteral("zumzum-chat"), QStringLiteral("/usr/bin/python3")}));
        QVERIFY(SocketOwners::isChat({1, QStringLiteral("zumzum-chat"), QString()}));
    }

    void fileCapability()
    {
        // As setcap writes them: revision 2, effective flag, cap_net_bind_service (bit 10).
        QVERIFY(FileCapability::grantsBindService(
            QByteArray::fromHex("0100000200040000000000000000000000000000")));
        QVERIFY(!FileCapability::grantsBindService(
            QByteArray::fromHex("0000000200040000000000000000000000000000")));
        QVERIFY(!FileCapability::grantsBindService(
            QByteArray::fromHex("0100000200200000000000000000000000000000")));
        QVERIFY(FileCapability::grantsBindService(
            QByteArray::fromHex("010000030004000000000000000000000000000000000000")));
        QVERIFY(!FileCapability::grantsBindService(QByteArray::fromHex("0100000300040000")));
        QVERIFY(!FileCapability::grantsBindService(QByteArray()));
    }

    void report()
    {
        Diagnosis d = healthy();
        d.settingsPath = QStringLiteral("/home/taro/.config/zumzum-chat/set.txt");
        d.peers = {{QStringLiteral("ta\x1b[2Jro\u202e"), QStringLiteral("192.168.1.5")}};
        const QList<Diagnosis::Problem> problems = {{QStringLiteral("no-peers"), QStringLiteral("…")}};
        const QJsonObject json = Report::json(d, problems);
        QCOMPARE(json.keys(), (QStringList{QStringLiteral("broadcastAddress"), QStringLiteral("interface"),
                                           QStringLiteral("interfaces"), QStringLiteral("peers"),
                                           QStringLiteral("problems"), QStringLiteral("settings")}));
        const QJsonObject chosen = json.value(QStringLiteral("interface")).toObject();
        QCOMPARE(chosen.value(QStringLiteral("broadcast")).toString(), QStringLiteral("192.168.1.255"));
        QCOMPARE(chosen.value(QStringLiteral("prefix")).toInt(), 24);
        QCOMPARE(json.value(QStringLiteral("settings")).toObject().keys(),
                 (QStringList{QStringLiteral("chatPort"), QStringLiteral("path"),
                              QStringLiteral("subnetMask"), QStringLiteral("userName")}));
        QCOMPARE(
            json.value(QStringLiteral("problems")).toArray().at(0).toObject().value(QStringLiteral("code")),
            QStringLiteral("no-peers"));
        QCOMPARE(Report::exitStatus(problems), 1);

        // A peer's name must not drive the terminal.
        const QString text = Report::text(d, problems, {});
        QVERIFY(text.contains(QStringLiteral("ta?[2Jro?")));
        QVERIFY(!text.contains(QChar(0x1b)));
    }
};

QTEST_APPLESS_MAIN(TestDoctor)
#include "tst_doctor.moc"
