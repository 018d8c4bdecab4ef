// Serves one file with the program's share server, for bench/share_throughput.sh and
// bench/share_memory.sh; runs until killed, only inside a bench network namespace. With the file's
// SHA-256 (hex, as sha256sum prints it) the answers carry Repr-Digest, as once the registry has
// computed it.
// Usage: bench_share_serve <file> <address> <port> [sha256]   (link: http://address:port/f/BENCH23456)
#include "base/systemscheduler.h"
#include "netnsguard.h"
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
    if (arguments.size() != 4 && arguments.size() != 5) {
        std::fprintf(stderr, "usage: bench_share_serve <file> <address> <port> [sha256]\n");
        return 2;
    }
    if (const QString why = Bench::notInBenchNamespace(); !why.isEmpty()) {
        std::fprintf(stderr, "refusing to run: %s\n", qUtf8Printable(why));
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
    if (arguments.size() == 5) {
        entry.sha256 = QByteArray::fromHex(arguments[4].toLatin1());
        if (entry.sha256.size() != 32) {
            std::fprintf(stderr, "not a SHA-256 in hex: %s\n", qPrintable(arguments[4]));
            return 2;
        }
    }
    ShareTable table;
    table.put(entry);
    SystemScheduler scheduler;
    ShareServer server(
        table, [] { return QDateTime::currentMSecsSinceEpoch(); }, scheduler);
    if (const auto failure = server.listen(QHostAddress(arguments[2]), quint16(arguments[3].toUInt()))) {
        std::fprintf(stderr, "%s\n", qPrintable(*failure));
        return 1;
    }
    std::printf("serving on port %u\n", server.port());
    std::fflush(stdout);
    return application.exec();
}
