#include "machine.h"

#include "base/smallfile.h"
#include "filecapability.h"
#include "firewallrules.h"
#include "tcplisteners.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <algorithm>
#include <sqlite3.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace {

// A tool's output, or nothing when it is missing, fails or hangs.
std::optional<QByteArray> run(const QString &program, const QStringList &arguments)
{
    const QString path =
        QStandardPaths::findExecutable(program, {QStringLiteral("/usr/sbin"), QStringLiteral("/sbin"),
                                                 QStringLiteral("/usr/bin"), QStringLiteral("/bin")});
    if (path.isEmpty())
        return std::nullopt;
    QProcess process;
    process.start(path, arguments);
    if (!process.waitForFinished(5000)) {
        process.kill();
        process.waitForFinished(1000);
        return std::nullopt;
    }
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        return std::nullopt;
    return process.readAllStandardOutput();
}

} // namespace

namespace Machine {

bool isRoot()
{
    return ::geteuid() == 0;
}

int unprivilegedPortStart()
{
    bool ok = false;
    const int start =
        readSmallFile(QStringLiteral("/proc/sys/net/ipv4/ip_unprivileged_port_start")).trimmed().toInt(&ok);
    return ok ? start : 1024;
}

bool hasBindCapability(const QString &executable)
{
    QByteArray value(64, '\0');
    const ssize_t size = ::getxattr(QFile::encodeName(executable).constData(), "security.capability",
                                    value.data(), value.size());
    if (size <= 0)
        return false;
    value.truncate(size);
    return FileCapability::grantsBindService(value);
}

void readFirewall(Diagnosis &d, const QList<int> &udpPorts, const QList<int> &tcpPorts,
                  const QString &interface)
{
    if (!isRoot()) {
        d.firewallView = Diagnosis::FirewallView::NeedsRoot;
        return;
    }
    using FirewallRules::Protocol;
    d.firewallView = Diagnosis::FirewallView::NoTool;
    const auto noteDropped = [&](const QString &name, const auto &isDropped) {
        for (int port : udpPorts) {
            if (isDropped(port, Protocol::Udp) && !d.droppedPorts.contains(port)) {
                d.droppedPorts.append(port);
                d.firewallName = name;
            }
        }
        for (int port : tcpPorts) {
            if (isDropped(port, Protocol::Tcp) && !d.droppedSharePorts.contains(port)) {
                d.droppedSharePorts.append(port);
                d.shareFirewallName = name;
            }
        }
    };
    const auto note = [&](const QString &name, const QList<FirewallRules::Chain> &chains) {
        d.firewallView = Diagnosis::FirewallView::Read;
        noteDropped(name, [&](int port, Protocol protocol) {
            return FirewallRules::drops(chains, port, interface, protocol);
        });
    };
    const auto nft =
        run(QStringLiteral("nft"), {QStringLiteral("-j"), QStringLiteral("list"), QStringLiteral("ruleset")});
    if (nft) {
        if (const auto chains = FirewallRules::parseNftJson(*nft))
            note(QStringLiteral("nftables"), *chains);
    } else if (const auto iptables = run(QStringLiteral("iptables"), {QStringLiteral("-S")})) {
        note(QStringLiteral("iptables"), FirewallRules::parseIptables(QString::fromUtf8(*iptables)));
    }
    // iptables-legacy rules do not show in the nftables ruleset.
    if (const auto iptables = run(QStringLiteral("iptables-legacy"), {QStringLiteral("-S")}))
        note(QStringLiteral("iptables"), FirewallRules::parseIptables(QString::fromUtf8(*iptables)));
    if (const auto ufw = run(QStringLiteral("ufw"), {QStringLiteral("status")})) {
        const QString status = QString::fromUtf8(*ufw);
        d.firewallView = Diagnosis::FirewallView::Read;
        if (FirewallRules::ufwActive(status)) {
            noteDropped(QStringLiteral("ufw"), [&](int port, Protocol protocol) {
                return !FirewallRules::ufwAllows(status, QStringLiteral("zumzum-chat"), port, protocol);
            });
        }
    }
}

std::optional<QList<int>> listeningTcpPorts(int first, int last)
{
    const QString tcp = QString::fromLatin1(readSmallFile(QStringLiteral("/proc/net/tcp")));
    const QString tcp6 = QString::fromLatin1(readSmallFile(QStringLiteral("/proc/net/tcp6")));
    if (tcp.isEmpty() && tcp6.isEmpty())
        return std::nullopt;
    QList<int> ports = TcpListeners::ports(tcp, first, last);
    for (int port : TcpListeners::ports(tcp6, first, last)) {
        if (!ports.contains(port))
            ports.append(port);
    }
    std::sort(ports.begin(), ports.end());
    return ports;
}

std::optional<bool> chatServes(const QString &historyPath, int chatPort, qint64 nowMs)
{
    sqlite3 *db = nullptr;
    // Read-only and never created: the doctor leaves the chat's file as it is.
    if (sqlite3_open_v2(QFile::encodeName(historyPath).constData(), &db, SQLITE_OPEN_READONLY, nullptr) !=
        SQLITE_OK) {
        sqlite3_close_v2(db);
        return std::nullopt;
    }
    sqlite3_busy_timeout(db, 1000);
    // The chat's share and drop point tables (share/sharestore.cpp, share/droppointstore.cpp),
    // which the doctor cannot include: owner is the chat port, expires_ms 0 one that lasts until
    // the chat ends. A file without a table has none of that kind; either kind keeps the server on.
    const auto holds = [&](const char *table, const char *query) -> std::optional<bool> {
        sqlite3_stmt *statement = nullptr;
        std::optional<bool> found;
        if (sqlite3_prepare_v2(db, "SELECT count(*) FROM sqlite_schema WHERE type = 'table' AND name = ?", -1,
                               &statement, nullptr) == SQLITE_OK) {
            sqlite3_bind_text(statement, 1, table, -1, SQLITE_STATIC);
            if (sqlite3_step(statement) == SQLITE_ROW)
                found = sqlite3_column_int(statement, 0) > 0;
        }
        sqlite3_finalize(statement);
        statement = nullptr;
        if (found != true)
            return found;
        found.reset();
        if (sqlite3_prepare_v2(db, query, -1, &statement, nullptr) == SQLITE_OK) {
            sqlite3_bind_int(statement, 1, chatPort);
            sqlite3_bind_int64(statement, 2, nowMs);
            if (sqlite3_step(statement) == SQLITE_ROW)
                found = sqlite3_column_int(statement, 0) != 0;
        }
        sqlite3_finalize(statement);
        return found;
    };
    const std::optional<bool> shares = holds(
        "share", "SELECT EXISTS(SELECT 1 FROM share WHERE owner = ? AND (expires_ms = 0 OR expires_ms > ?))");
    const std::optional<bool> dropPoints =
        holds("droppoint", "SELECT EXISTS(SELECT 1 FROM droppoint WHERE owner = ? "
                           "AND (expires_ms = 0 OR expires_ms > ?))");
    sqlite3_close_v2(db);
    // One of them is enough to know; "none" needs both read.
    if (shares == true || dropPoints == true)
        return true;
    if (!shares || !dropPoints)
        return std::nullopt;
    return false;
}

} // namespace Machine
