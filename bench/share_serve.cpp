// Serves one file with the program's share server, for bench/share_throughput.sh; runs until killed.
// Usage: bench_share_serve <file> <address> <port>   (link: http://address:port/f/BENCH23456)
#include "share/shareserver.h"
#include "share/sharetable.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFileInfo>
#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    const QStringList arguments = application.arguments();
    if (arguments.size() != 4) {
        std::fprintf(stderr, "usage: bench_share_serve <file> <address> <port>\n");
        return 2;
    }
    ShareEntry entry;
    entry.code = QStringLiteral("BENCH23456");
    entry.path = arguments[1];
    entry.name = QFileInfo(entry.path).fileName();
    const auto identity = FileIdentity::ofPath(entry.path);
    if (!identity) {
        std::fprintf(stderr, "cannot read %s\n", qPrintable(entry.path));
        return 1;
    }
    entry.identity = *identity;
    ShareTable table;
    table.put(entry);
    ShareServer server(table, [] { return QDateTime::currentMSecsSinceEpoch(); });
    if (const auto failure = server.listen(QHostAddress(arguments[2]), quint16(arguments[3].toUInt()))) {
        std::fprintf(stderr, "%s\n", qPrintable(*failure));
        return 1;
    }
    std::printf("serving on port %u\n", server.port());
    std::fflush(stdout);
    return application.exec();
}
