// zumzum-chat-doctor: finds why the chat sees nobody, or why nobody sees it, and says the remedy.

#include "app/broadcast.h"
#include "app/settingsfile.h"
#include "checks.h"
#include "history/historylocation.h"
#include "livecheck.h"
#include "machine.h"
#include "net/systeminterfaces.h"
#include "net/udpnetwork.h"
#include "report.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QJsonDocument>
#include <cstdio>

namespace {

constexpr int listenMs = 3000;

const char usage[] = "使い方: zumzum-chat-doctor [--json] [--listen-only]\n"
                     "\n"
                     "チャットで誰も見えない、または相手から見えないときに、原因と直し方を調べます。\n"
                     "同じフォルダーの zumzum-chat と同じ set.txt、同じインターフェースを使い、\n"
                     "参加のお知らせを送って 3 秒間返事を待ち、退出のお知らせを送ります。\n"
                     "\n"
                     "  --json         結果を JSON で出力します\n"
                     "  --listen-only  何も送らず、3 秒間聞くだけにします\n"
                     "  -h, --help     この説明を表示します\n"
                     "\n"
                     "終了ステータス: 0 問題なし、1 問題あり、2 診断できなかった\n";

void print(FILE *stream, const QString &text)
{
    std::fputs(text.toUtf8().constData(), stream);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    // Settings are looked for where the chat looks: ~/.config/zumzum-chat, beside the executable.
    QCoreApplication::setApplicationName(QStringLiteral("zumzum-chat"));
    QCoreApplication::setOrganizationName(QString());

    bool asJson = false;
    bool listenOnly = false;
    const QStringList arguments = QCoreApplication::arguments().mid(1);
    for (const QString &argument : arguments) {
        if (argument == QLatin1String("--help") || argument == QLatin1String("-h")) {
            std::fputs(usage, stdout);
            return 0;
        }
        if (argument == QLatin1String("--json")) {
            asJson = true;
        } else if (argument == QLatin1String("--listen-only")) {
            listenOnly = true;
        } else {
            print(stderr,
                  QStringLiteral("zumzum-chat-doctor: 知らないオプション「%1」です。\n\n").arg(argument));
            std::fputs(usage, stderr);
            return 2;
        }
    }

    UdpNetwork network;
    Diagnosis d;
    d.listenOnly = listenOnly;

    SettingsRecord record;
    SettingsFile::locateForProgram(record, QCoreApplication::applicationDirPath() + QLatin1Char('/'));
    const SettingsFile::LoadResult loaded = SettingsFile::load(record, network.localHostName());
    if (loaded.error) {
        // The chat itself would stop with this box at start-up.
        print(stderr, QStringLiteral("診断できませんでした。%1\n").arg(*loaded.error));
        return 2;
    }
    d.settingsPath = record.settingsReadPath;
    d.settingsFound = loaded.fileFound;
    d.userName = record.userName;
    d.subnetMask = record.subnetMask;
    d.chatPort = record.chatPort;
    d.chatPortNumber = SettingsFile::chatPortNumber(record.chatPort);
    if (!d.chatPortNumber) {
        print(stderr, QStringLiteral("診断できませんでした。%1 のチャットのポート番号「%2」は使えません。"
                                     "1 から 65535 までの数字にしてください。\n")
                          .arg(record.settingsReadPath, record.chatPort));
        return 2;
    }

    d.interfaces = SystemInterfaces::read();
    const auto routeSource = SystemInterfaces::defaultRouteSource();
    d.choice = LanAddress::choose(d.interfaces, routeSource);
    QString interfaceName;
    if (d.choice) {
        d.choiceCarriesDefaultRoute = routeSource && routeSource->isEqual(d.choice->address);
        interfaceName = d.interfaces.at(d.choice->interface).name;
        const BroadcastResult broadcast = s_broadcast(d.choice->address.toString(), record.subnetMask);
        d.broadcastAddress = broadcast.address;
        d.broadcastError = broadcast.error;
    }

    const QList<int> ports = Checks::chatPorts(d);
    d.portHolders = SocketOwners::portHolders(ports);
    d.root = Machine::isRoot();
    d.unprivilegedPortStart = Machine::unprivilegedPortStart();
    d.chatExecutable = record.appFolder + QStringLiteral("zumzum-chat");
    d.chatHasBindCapability = Machine::hasBindCapability(d.chatExecutable);
    Machine::readFirewall(d, ports, Checks::sharePorts(), interfaceName);
    d.shareListeningPorts = Machine::listeningTcpPorts(Checks::firstSharePort, Checks::lastSharePort);
    // The history's file as the chat finds it, from the same set.txt.
    d.historyPath =
        HistoryLocation::path(record.settingsSavePath, record.appFolder, HistoryLocation::systemDataHome());
    d.chatServes = Machine::chatServes(d.historyPath, *d.chatPortNumber, QDateTime::currentMSecsSinceEpoch());

    QStringList notes;
    if (d.firewallView == Diagnosis::FirewallView::NeedsRoot) {
        notes.append(QStringLiteral("root でないので、ファイアウォールの規則は読めませんでした。"
                                    "sudo zumzum-chat-doctor で診断するか、sudo nft list ruleset と sudo ufw "
                                    "status で確かめてください。"));
    }
    notes += Checks::notes(d);
    bool liveFailed = false;
    if (!Checks::liveCheckAllowed(d)) {
        notes.append(QStringLiteral("ポートが使われているので、送受信の確認は行いませんでした。"));
    } else if (d.choice && !d.broadcastError) {
        LiveCheck live(network);
        live.run(d, QStringLiteral("(診断) ") + network.localHostName(), listenMs);
        if (d.liveError) {
            liveFailed = !d.liveRan;
            // The first line says what failed; the chat's own advice after it is for the chat's window.
            notes.append(QStringLiteral("送受信の確認ができませんでした: %1")
                             .arg(d.liveError->section(QLatin1Char('\n'), 0, 0)));
        }
    }

    const QList<Diagnosis::Problem> problems = Checks::problems(d);
    if (asJson) {
        print(stdout,
              QString::fromUtf8(QJsonDocument(Report::json(d, problems)).toJson(QJsonDocument::Indented)));
        for (const QString &note : std::as_const(notes))
            print(stderr, note + QLatin1Char('\n'));
    } else {
        print(stdout, Report::text(d, problems, notes));
    }
    if (problems.isEmpty() && liveFailed)
        return 2;
    return Report::exitStatus(problems);
}
