#include "report.h"

#include "checks.h"

#include <QJsonArray>

namespace {

QJsonValue nullable(const QString &text)
{
    return text.isEmpty() ? QJsonValue() : QJsonValue(text);
}

QJsonObject chosenInterface(const Diagnosis &d)
{
    if (!d.choice)
        return {};
    const LanInterface &interface = d.interfaces.at(d.choice->interface);
    const LanInterface::Entry &entry = interface.entries.at(d.choice->entry);
    QJsonObject object;
    object.insert(QStringLiteral("name"), interface.name);
    object.insert(QStringLiteral("address"), entry.ip.toString());
    object.insert(QStringLiteral("prefix"), entry.prefixLength);
    object.insert(QStringLiteral("broadcast"),
                  entry.prefixLength >= 0 ? QJsonValue(Checks::subnetBroadcast(entry.ip, entry.prefixLength))
                                          : QJsonValue());
    return object;
}

QStringList ipv4Entries(const LanInterface &interface)
{
    QStringList entries;
    for (const LanInterface::Entry &entry : interface.entries) {
        if (entry.ip.protocol() == QAbstractSocket::IPv4Protocol)
            entries.append(QStringLiteral("%1/%2").arg(entry.ip.toString()).arg(entry.prefixLength));
    }
    return entries;
}

} // namespace

namespace Report {

QJsonObject json(const Diagnosis &d, const QList<Diagnosis::Problem> &problems)
{
    QJsonObject root;
    root.insert(QStringLiteral("interface"), d.choice ? QJsonValue(chosenInterface(d)) : QJsonValue());

    QJsonArray interfaces;
    for (const LanInterface &interface : d.interfaces) {
        const QStringList entries = ipv4Entries(interface);
        if (entries.isEmpty())
            continue;
        QJsonObject object;
        object.insert(QStringLiteral("name"), interface.name);
        object.insert(QStringLiteral("kind"), LanAddress::kindName(interface.kind));
        object.insert(QStringLiteral("addresses"), QJsonArray::fromStringList(entries));
        object.insert(QStringLiteral("up"), interface.up && interface.running);
        interfaces.append(object);
    }
    root.insert(QStringLiteral("interfaces"), interfaces);

    QJsonObject settings;
    settings.insert(QStringLiteral("path"), d.settingsPath);
    settings.insert(QStringLiteral("userName"), d.userName);
    settings.insert(QStringLiteral("subnetMask"), d.subnetMask);
    settings.insert(QStringLiteral("chatPort"), d.chatPort);
    root.insert(QStringLiteral("settings"), settings);
    root.insert(QStringLiteral("broadcastAddress"), nullable(d.broadcastAddress));

    QJsonArray peers;
    for (const Diagnosis::Peer &peer : d.peers)
        peers.append(
            QJsonObject{{QStringLiteral("name"), peer.name}, {QStringLiteral("address"), peer.address}});
    root.insert(QStringLiteral("peers"), peers);

    QJsonArray list;
    for (const Diagnosis::Problem &problem : problems)
        list.append(QJsonObject{{QStringLiteral("code"), problem.code},
                                {QStringLiteral("message"), problem.message}});
    root.insert(QStringLiteral("problems"), list);
    return root;
}

QString text(const Diagnosis &d, const QList<Diagnosis::Problem> &problems, const QStringList &notes)
{
    QString out;
    const auto line = [&out](const QString &text) { out += text + QLatin1Char('\n'); };
    line(QStringLiteral("設定ファイル: %1%2")
             .arg(d.settingsPath,
                  d.settingsFound ? QString() : QStringLiteral("（まだありません。標準の設定）")));
    line(QStringLiteral("  名前 %1、サブネットマスク %2、チャットのポート %3")
             .arg(printable(d.userName), printable(d.subnetMask), printable(d.chatPort)));
    line(QStringLiteral("インターフェース:"));
    for (int i = 0; i < d.interfaces.size(); ++i) {
        const LanInterface &interface = d.interfaces.at(i);
        const QStringList entries = ipv4Entries(interface);
        if (entries.isEmpty())
            continue;
        const bool chosen = d.choice && d.choice->interface == i;
        line(QStringLiteral("  %1 %2 %3 (%4)%5")
                 .arg(chosen ? QStringLiteral("*") : QStringLiteral(" "), interface.name,
                      entries.join(QLatin1Char(' ')), LanAddress::kindName(interface.kind),
                      chosen ? QStringLiteral(" ← チャットが使う") : QString()));
    }
    line(QStringLiteral("ブロードキャストアドレス: %1")
             .arg(d.broadcastAddress.isEmpty() ? QStringLiteral("-") : d.broadcastAddress));
    if (d.shareListeningPorts && !d.shareListeningPorts->isEmpty()) {
        QStringList ports;
        for (int port : *d.shareListeningPorts)
            ports.append(QString::number(port));
        line(QStringLiteral("ファイル共有: TCP %1 で待ち受けています").arg(ports.join(QStringLiteral("、"))));
    }
    if (d.liveRan) {
        line(QStringLiteral("返事をした参加者: %1 人").arg(d.peers.size()));
        for (const Diagnosis::Peer &peer : d.peers)
            line(QStringLiteral("  %1  %2").arg(printable(peer.address), printable(peer.name)));
    }
    for (const QString &note : notes)
        line(QStringLiteral("メモ: %1").arg(note));
    line(QString());
    if (problems.isEmpty())
        line(QStringLiteral("問題は見つかりませんでした。"));
    for (const Diagnosis::Problem &problem : problems)
        line(QStringLiteral("[%1] %2").arg(problem.code, problem.message));
    return out;
}

QString printable(const QString &text)
{
    QString out = text;
    for (QChar &c : out) {
        const char16_t u = c.unicode();
        const bool control = u < 0x20 || (u >= 0x7F && u <= 0x9F);
        const bool direction = (u >= 0x202A && u <= 0x202E) || (u >= 0x2066 && u <= 0x2069) || u == 0x200E ||
                               u == 0x200F || u == 0x061C;
        if (control || direction)
            c = QLatin1Char('?');
    }
    return out;
}

int exitStatus(const QList<Diagnosis::Problem> &problems)
{
    return problems.isEmpty() ? 0 : 1;
}

} // namespace Report
