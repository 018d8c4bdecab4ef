#include "checks.h"

#include "app/broadcast.h"
#include "net/datagram.h"

#include <algorithm>

namespace {

using Problem = Diagnosis::Problem;
using Kind = LanInterface::Kind;

QString kindText(Kind kind)
{
    switch (kind) {
    case Kind::Bridge: return QStringLiteral("コンテナや仮想マシンのブリッジ");
    case Kind::Veth: return QStringLiteral("コンテナの仮想ケーブル（veth）");
    case Kind::Tunnel: return QStringLiteral("トンネルまたは VPN");
    default: return QStringLiteral("LAN");
    }
}

QString processText(const Diagnosis::PortHolder &holder)
{
    if (!holder.process)
        return QStringLiteral(
            "別のプログラム（root でないと名前を読めません。sudo zumzum-chat-doctor で確かめられます）");
    return QStringLiteral("%1（PID %2）").arg(holder.process->name).arg(holder.process->pid);
}

void interfaceProblems(const Diagnosis &d, QList<Problem> &out)
{
    if (!d.choice) {
        out.append(
            {QStringLiteral("no-interface"),
             QStringLiteral(
                 "IPv4 のアドレスを持ち、ブロードキャストできるネットワークインターフェースがありません。"
                 "LAN ケーブルか Wi-Fi をつないでから、もう一度診断してください。")});
        return;
    }
    const LanInterface &chosen = d.interfaces.at(d.choice->interface);
    if (LanAddress::isVirtual(chosen.kind)) {
        out.append(
            {QStringLiteral("container-bridge"),
             QStringLiteral(
                 "チャットが使うインターフェース %1（%2）は%3です。ここへ送ったお知らせは LAN "
                 "のほかの人に届きません。"
                 "VPN なら切断してください。そうでなければ、LAN につながったインターフェースに既定の経路"
                 "（default route）が向くようにネットワークの設定を直してください。")
                 .arg(chosen.name, d.choice->address.toString(), kindText(chosen.kind))});
    }
    QStringList lans;
    for (const LanInterface &interface : d.interfaces) {
        const bool hasIpv4 =
            std::any_of(interface.entries.cbegin(), interface.entries.cend(), [](const auto &entry) {
                return entry.ip.protocol() == QAbstractSocket::IPv4Protocol;
            });
        if (hasIpv4 && LanAddress::isUsable(interface) && interface.kind == Kind::Lan)
            lans.append(interface.name);
    }
    if (lans.size() > 1) {
        out.append({QStringLiteral("several-lans"),
                    QStringLiteral(
                        "LAN らしいインターフェースが %1 個あります（%2）。チャットは %3 だけを使うので、"
                        "ほかのインターフェースの先にいる人とは話せません。話したい人と同じネットワークの"
                        "インターフェースに既定の経路が向くようにするか、使わないほうを切断してください。")
                        .arg(lans.size())
                        .arg(lans.join(QStringLiteral("、")), chosen.name)});
    }
}

void broadcastProblem(const Diagnosis &d, QList<Problem> &out)
{
    if (!d.choice)
        return;
    const QString code = QStringLiteral("broadcast-off-subnet");
    if (d.broadcastError) {
        out.append({code, *d.broadcastError});
        return;
    }
    const LanInterface &chosen = d.interfaces.at(d.choice->interface);
    const LanInterface::Entry &entry = chosen.entries.at(d.choice->entry);
    if (entry.prefixLength < 0 || entry.prefixLength > 32)
        return;
    const QString real = Checks::subnetBroadcast(entry.ip, entry.prefixLength);
    const QString limited = QStringLiteral("255.255.255.255");
    // The limited broadcast leaves through the default route's interface, which is the LAN then.
    if (d.broadcastAddress == real || (d.broadcastAddress == limited && d.choiceCarriesDefaultRoute))
        return;
    QString text = QStringLiteral("set.txt のサブネットマスク %1 から求めたブロードキャストアドレス %2 は、"
                                  "%3（%4/%5）のサブネットのブロードキャストアドレス %6 ではありません。")
                       .arg(d.subnetMask, d.broadcastAddress, chosen.name, entry.ip.toString())
                       .arg(entry.prefixLength)
                       .arg(real);
    if (d.broadcastAddress == limited)
        text += QStringLiteral("既定の経路がないので、カーネルはこの宛先への送信を断ります。");
    else
        text += QStringLiteral(
            "カーネルはサブネットの外の宛先としてゲートウェイへ送るか、経路がなければ送信を断ります。"
            "どちらでも LAN のほかの人には届きません。");
    const QString mask = Checks::matchingMask(entry.prefixLength);
    if (!mask.isEmpty())
        text +=
            QStringLiteral(
                "チャットの「設定」でサブネットマスクを %1 にしてください（ほかの人とも揃えてください）。")
                .arg(mask);
    else
        text += QStringLiteral("このサブネット（/%1）は 8 "
                               "ビット単位の区切りではないので、どのマスクでも正しいアドレスになりません。"
                               "ネットワーク管理者に相談してください。")
                    .arg(entry.prefixLength);
    out.append({code, text});
}

void portProblems(const Diagnosis &d, QList<Problem> &out)
{
    for (const Diagnosis::PortHolder &holder : d.portHolders) {
        const bool chat = holder.process && SocketOwners::isChat(*holder.process);
        QString text;
        if (chat) {
            text = QStringLiteral(
                       "UDP ポート %1 は、この機械ですでに動いているチャット（PID %2）が使っています。"
                       "送受信の確認は行いませんでした。動いているチャットの参加者一覧を見てください。")
                       .arg(holder.port)
                       .arg(holder.process->pid);
        } else {
            text = QStringLiteral(
                       "UDP ポート %1 は %2 "
                       "が使っているので、チャットが起動できません。そのプログラムを終了してください。")
                       .arg(holder.port)
                       .arg(processText(holder));
            if (holder.port != Datagram::presencePort)
                text += QStringLiteral(
                    "終了できないときは、ほかの参加者と揃えてチャットのポート番号を変えてください。");
            text += QStringLiteral("送受信の確認は行いませんでした。");
        }
        out.append({QStringLiteral("port-in-use"), text});
    }
}

void permissionProblem(const Diagnosis &d, QList<Problem> &out)
{
    if (!d.chatPortNumber || *d.chatPortNumber >= d.unprivilegedPortStart || d.root ||
        d.chatHasBindCapability)
        return;
    out.append(
        {QStringLiteral("no-bind-permission"),
         QStringLiteral("チャットのポート %1 は %2 未満なので、root でないユーザーが使うには権限が要ります。"
                        "%3 には cap_net_bind_service がありません。管理者に "
                        "sudo setcap cap_net_bind_service=+ep %3 を実行してもらうか、"
                        "ほかの参加者と揃えてポート番号を %2 以上にしてください。")
             .arg(*d.chatPortNumber)
             .arg(d.unprivilegedPortStart)
             .arg(d.chatExecutable)});
}

void firewallProblem(const Diagnosis &d, QList<Problem> &out)
{
    if (d.firewallView != Diagnosis::FirewallView::Read || d.droppedPorts.isEmpty())
        return;
    QStringList ports;
    for (int port : d.droppedPorts)
        ports.append(QString::number(port));
    QString text = QStringLiteral("ファイアウォール（%1）が UDP ポート %2 "
                                  "に届いたデータを捨てます。ほかの人のお知らせや発言が届きません。")
                       .arg(d.firewallName, ports.join(QStringLiteral("、")));
    if (d.firewallName == QLatin1String("ufw"))
        text += QStringLiteral("sudo ufw allow zumzum-chat で許可してください。");
    else if (d.firewallName == QLatin1String("nftables"))
        text += QStringLiteral(
                    "sudo nft -a list ruleset でその規則を探して消すか、その前に UDP %1 を accept する規則を"
                    "置いてください（firewalld なら sudo firewall-cmd --permanent --add-service=zumzum-chat "
                    "のあと sudo firewall-cmd --reload）。")
                    .arg(ports.join(QLatin1Char(',')));
    else
        text +=
            QStringLiteral("UDP %1 の受信を許可してください（firewalld なら sudo firewall-cmd --permanent "
                           "--add-service=zumzum-chat のあと sudo firewall-cmd --reload）。")
                .arg(ports.join(QLatin1Char(',')));
    out.append({QStringLiteral("firewall"), text});
}

// "50012〜50019" for a run of ports, else "50012、50014".
QString portsText(QList<int> ports)
{
    std::sort(ports.begin(), ports.end());
    if (ports.size() > 2 && ports.back() - ports.front() == ports.size() - 1)
        return QStringLiteral("%1〜%2").arg(ports.front()).arg(ports.back());
    QStringList texts;
    for (int port : ports)
        texts.append(QString::number(port));
    return texts.join(QStringLiteral("、"));
}

void shareFirewallProblem(const Diagnosis &d, QList<Problem> &out)
{
    if (d.firewallView != Diagnosis::FirewallView::Read || d.droppedSharePorts.isEmpty())
        return;
    const QString range = QStringLiteral("%1-%2").arg(Checks::firstSharePort).arg(Checks::lastSharePort);
    QString text =
        QStringLiteral("ファイアウォール（%1）が TCP ポート %2 への接続を捨てます。"
                       "この機械で共有したファイルのリンクも、受け取り口のリンクも、ほかの人が開けません。")
            .arg(d.shareFirewallName, portsText(d.droppedSharePorts));
    if (d.shareFirewallName == QLatin1String("ufw"))
        text += QStringLiteral("sudo ufw allow zumzum-chat で許可してください。");
    else if (d.shareFirewallName == QLatin1String("nftables"))
        text += QStringLiteral("sudo nft -a list ruleset でその規則を探して消すか、その前に TCP %1 を accept "
                               "する規則を置いてください（firewalld なら sudo firewall-cmd --permanent "
                               "--add-service=zumzum-chat のあと sudo firewall-cmd --reload）。")
                    .arg(range);
    else
        text +=
            QStringLiteral("TCP %1 への接続を許可してください（firewalld なら sudo firewall-cmd --permanent "
                           "--add-service=zumzum-chat のあと sudo firewall-cmd --reload）。")
                .arg(range);
    out.append({QStringLiteral("share-firewall"), text});
}

// A missing listener is a fault only while a chat runs with files shared or a drop point open: its
// server runs only while there is something to serve, and both are served on the same port.
void shareListeningProblem(const Diagnosis &d, QList<Problem> &out)
{
    const auto chat = Checks::runningChat(d);
    if (!chat || !d.shareListeningPorts || !d.shareListeningPorts->isEmpty() || d.chatServes != true)
        return;
    out.append({QStringLiteral("share-not-listening"),
                QStringLiteral(
                    "チャット（PID %1）には共有中のファイルか開いている受け取り口がありますが、TCP ポート "
                    "%2〜%3 のどれでも待ち受けていません。この機械で共有したファイルのリンクも、受け取り口"
                    "のリンクも開けません。チャットを終了して起動し直してください。")
                    .arg(chat->pid)
                    .arg(Checks::firstSharePort)
                    .arg(Checks::lastSharePort)});
}

void liveProblems(const Diagnosis &d, QList<Problem> &out)
{
    if (!d.liveRan)
        return;
    if (!d.listenOnly && !d.ownBroadcastHeard) {
        out.append(
            {QStringLiteral("own-broadcast-not-heard"),
             QStringLiteral(
                 "診断が %1 へ送った参加のお知らせが、自分のソケットに戻ってきませんでした。"
                 "この機械のファイアウォールが UDP %2 の受信を捨てているか、送り先がこのサブネットの"
                 "ブロードキャストアドレスではありません。sudo nft list ruleset で規則を確かめてください。")
                 .arg(d.broadcastAddress)
                 .arg(Datagram::presencePort)});
    }
    if (d.peers.isEmpty()) {
        QString text =
            d.listenOnly
                ? QStringLiteral(
                      "聞いているあいだ、誰のお知らせも届きませんでした（--listen-only では呼びかけないので、"
                      "ほかの人のチャットの起動か終了がないと何も届きません）。")
                : QStringLiteral("3 秒待ちましたが、誰からも返事がありませんでした。");
        text += QStringLiteral(
                    "ほかの人のチャットが同じ LAN で動いているか、チャットのポート（%1）とサブネットマスクが"
                    "ほかの人と同じかを確かめてください。相手の機械のファイアウォールも UDP %1 と %2 を"
                    "許可している必要があります。")
                    .arg(d.chatPort)
                    .arg(Datagram::presencePort);
        // Only this subnet can be seen from here; whether others exist, the user knows.
        text += QStringLiteral(
            "相手が別のサブネット（別の階、VLAN、拠点）にいるなら、ルーターはブロードキャストを通さないので"
            "届きません。サブネットどうしをつなぐには、各サブネットで zumzum-chat-relay を動かしてください"
            "（README の「Several subnets or sites」）。");
        out.append({QStringLiteral("no-peers"), text});
    }
}

} // namespace

namespace Checks {

QList<int> chatPorts(const Diagnosis &diagnosis)
{
    QList<int> ports;
    if (diagnosis.chatPortNumber)
        ports.append(*diagnosis.chatPortNumber);
    if (!ports.contains(Datagram::presencePort))
        ports.append(Datagram::presencePort);
    return ports;
}

bool liveCheckAllowed(const Diagnosis &diagnosis)
{
    return diagnosis.portHolders.isEmpty();
}

QString matchingMask(int prefixLength)
{
    // Only whole octets: the chat's derivation keeps an octet for "255" and nothing else.
    if (prefixLength < 8 || prefixLength > 24 || prefixLength % 8 != 0)
        return QString();
    return maskOfPrefix(prefixLength);
}

QString subnetBroadcast(const QHostAddress &ip, int prefixLength)
{
    const quint32 host = prefixLength >= 32 ? 0 : 0xFFFFFFFFu >> prefixLength;
    return QHostAddress(ip.toIPv4Address() | host).toString();
}

QList<Diagnosis::Problem> problems(const Diagnosis &diagnosis)
{
    QList<Problem> out;
    interfaceProblems(diagnosis, out);
    broadcastProblem(diagnosis, out);
    portProblems(diagnosis, out);
    permissionProblem(diagnosis, out);
    firewallProblem(diagnosis, out);
    shareFirewallProblem(diagnosis, out);
    shareListeningProblem(diagnosis, out);
    liveProblems(diagnosis, out);
    return out;
}

QStringList notes(const Diagnosis &diagnosis)
{
    QStringList out;
    if (!diagnosis.shareListeningPorts || !diagnosis.shareListeningPorts->isEmpty())
        return out;
    const auto chat = runningChat(diagnosis);
    if (!chat) {
        out.append(
            QStringLiteral(
                "TCP ポート %1〜%2 で待ち受けているプログラムはありません。チャットが動いていないので、"
                "問題ではありません（共有したファイルも受け取り口も、"
                "チャットが動いているあいだだけ開けます）。")
                .arg(firstSharePort)
                .arg(lastSharePort));
    } else if (diagnosis.chatServes == false) {
        out.append(
            QStringLiteral("チャット（PID %1）は共有中のファイルも開いている受け取り口もないので、TCP "
                           "ポート %2〜%3 で待ち受けていません。問題ではありません（ファイルを共有するか"
                           "受け取り口を開くと待ち受けを始めます）。")
                .arg(chat->pid)
                .arg(firstSharePort)
                .arg(lastSharePort));
    } else if (!diagnosis.chatServes) {
        out.append(
            QStringLiteral("チャット（PID %1）は TCP ポート %2〜%3 のどれでも待ち受けていません。"
                           "履歴のファイル %4 を読めないので、共有中のファイルや開いている受け取り口が"
                           "あるかはわかりません（待ち受けるのはそれがあるときだけです）。共有したファイル"
                           "や受け取り口のリンクが開けないときは、チャットを終了して起動し直してください。")
                .arg(chat->pid)
                .arg(firstSharePort)
                .arg(lastSharePort)
                .arg(diagnosis.historyPath));
    }
    return out;
}

QList<int> sharePorts()
{
    QList<int> ports;
    for (int port = firstSharePort; port <= lastSharePort; ++port)
        ports.append(port);
    return ports;
}

std::optional<SocketOwners::Process> runningChat(const Diagnosis &diagnosis)
{
    for (const Diagnosis::PortHolder &holder : diagnosis.portHolders) {
        if (holder.process && SocketOwners::isChat(*holder.process))
            return holder.process;
    }
    return std::nullopt;
}

} // namespace Checks
