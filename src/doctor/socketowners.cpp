#include "socketowners.h"

#include <QStringList>

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

} // namespace SocketOwners
