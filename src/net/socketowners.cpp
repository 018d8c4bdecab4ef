#include "socketowners.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

namespace {

QByteArray readFile(const QString &path, qint64 limit = 4 * 1024 * 1024)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.read(limit);
}

std::optional<SocketOwners::Process> ownerOf(quint64 inode)
{
    const QStringList pids = QDir(QStringLiteral("/proc")).entryList({QStringLiteral("[0-9]*")}, QDir::Dirs);
    for (const QString &pid : pids) {
        const QString fdFolder = QStringLiteral("/proc/%1/fd").arg(pid);
        // Another user's descriptors cannot be listed without root.
        for (const QFileInfo &fd : QDir(fdFolder).entryInfoList(QDir::System | QDir::NoDotAndDotDot)) {
            if (SocketOwners::socketInode(fd.symLinkTarget().section(QLatin1Char('/'), -1)) != inode)
                continue;
            SocketOwners::Process process;
            process.pid = pid.toInt();
            process.name =
                QString::fromUtf8(readFile(QStringLiteral("/proc/%1/comm").arg(pid), 64)).trimmed();
            process.executable = QFileInfo(QStringLiteral("/proc/%1/exe").arg(pid)).symLinkTarget();
            return process;
        }
    }
    return std::nullopt;
}

} // namespace

namespace SocketOwners {

QList<quint64> inodesOnPort(const QString &procNetUdp, int port)
{
    QList<quint64> inodes;
    const QStringList lines = procNetUdp.split(QLatin1Char('\n'));
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QStringList fields = lines.at(i).simplified().split(QLatin1Char(' '));
        // sl local_address rem_address st tx_queue:rx_queue tr:tm->when retrnsmt uid timeout inode
        if (fields.size() < 10)
            continue;
        bool ok = false;
        const int localPort = fields.at(1).section(QLatin1Char(':'), 1, 1).toInt(&ok, 16);
        if (!ok || localPort != port)
            continue;
        const quint64 inode = fields.at(9).toULongLong(&ok);
        if (ok && inode != 0)
            inodes.append(inode);
    }
    return inodes;
}

quint64 socketInode(const QString &fdLink)
{
    if (!fdLink.startsWith(QLatin1String("socket:[")) || !fdLink.endsWith(QLatin1Char(']')))
        return 0;
    bool ok = false;
    const quint64 inode = fdLink.mid(8, fdLink.size() - 9).toULongLong(&ok);
    return ok ? inode : 0;
}

bool isChat(const Process &process)
{
    const QString chat = QStringLiteral("zumzum-chat");
    if (!process.executable.isEmpty())
        return process.executable.section(QLatin1Char('/'), -1) == chat;
    // comm is cut to 15 characters: "zumzum-chat" fits.
    return process.name == chat;
}

QList<PortHolder> portHolders(const QList<int> &ports)
{
    const QString udp = QString::fromLatin1(readFile(QStringLiteral("/proc/net/udp")));
    const QString udp6 = QString::fromLatin1(readFile(QStringLiteral("/proc/net/udp6")));
    QList<PortHolder> holders;
    for (int port : ports) {
        const QList<quint64> inodes = inodesOnPort(udp, port) + inodesOnPort(udp6, port);
        if (inodes.isEmpty())
            continue;
        PortHolder holder;
        holder.port = port;
        for (quint64 inode : inodes) {
            if ((holder.process = ownerOf(inode)))
                break;
        }
        holders.append(holder);
    }
    return holders;
}

} // namespace SocketOwners
