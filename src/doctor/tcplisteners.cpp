#include "tcplisteners.h"

#include <QStringList>
#include <algorithm>

namespace TcpListeners {

QList<int> ports(const QString &procNetTcp, int first, int last)
{
    // "  0: 0B00120A:C35C 00000000:0000 0A ...": local address and port in hex, then the state.
    const QString listening = QStringLiteral("0A");
    QList<int> found;
    for (const QString &line : procNetTcp.split(QLatin1Char('\n'))) {
        const QStringList fields = line.simplified().split(QLatin1Char(' '));
        if (fields.size() < 4 || fields.at(3) != listening)
            continue;
        bool ok = false;
        const int port = fields.at(1).section(QLatin1Char(':'), -1).toInt(&ok, 16);
        if (ok && port >= first && port <= last && !found.contains(port))
            found.append(port);
    }
    std::sort(found.begin(), found.end());
    return found;
}

} // namespace TcpListeners
