// Takes uploads into one drop point with the program's share server and drop point registry, for
// bench/droppoint_upload.sh; runs until killed, only inside a bench network namespace. Prints
// "link URL" once listening, then one line per upload that ended: "received NAME SIZE SHA256" or
// "failed NAME REASON".
// Usage: bench_droppoint_serve <folder> <address> <port> [limit bytes]
#include "base/systemscheduler.h"
#include "netnsguard.h"
#include "share/droppointregistry.h"
#include "share/droppointtable.h"
#include "share/sharelinks.h"
#include "share/shareserver.h"
#include "share/sharetable.h"

#include <QCoreApplication>
#include <QDateTime>
#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    const QStringList arguments = application.arguments();
    if (arguments.size() != 4 && arguments.size() != 5) {
        std::fprintf(stderr, "usage: bench_droppoint_serve <folder> <address> <port> [limit bytes]\n");
        return 2;
    }
    if (const QString why = Bench::notInBenchNamespace(); !why.isEmpty()) {
        std::fprintf(stderr, "refusing to run: %s\n", qUtf8Printable(why));
        return 2;
    }
    const qint64 limit = arguments.size() == 5 ? arguments[4].toLongLong() : DropPointEntry::defaultSizeLimit;
    const ShareNow now = [] { return QDateTime::currentMSecsSinceEpoch(); };
    SystemScheduler scheduler;
    ShareTable shares;
    DropPointTable dropTable;
    // No store: nothing of the bench is kept in a history's file.
    DropPointRegistry registry(nullptr, dropTable, scheduler, now);
    registry.start();
    ShareServer server(shares, now, scheduler);
    server.setDropPoints(&dropTable);
    QObject::connect(&server, &ShareServer::uploadReceived, &registry, &DropPointRegistry::receive);
    QObject::connect(&server, &ShareServer::uploadFailed, &registry, &DropPointRegistry::fail);
    QObject::connect(&server, &ShareServer::uploadPartCreated, &registry, &DropPointRegistry::partCreated);
    QObject::connect(&server, &ShareServer::uploadPartGone, &registry, &DropPointRegistry::partGone);
    QObject::connect(&registry, &DropPointRegistry::fileReceived,
                     [](const QString &, const QString &name, qint64 size, const QByteArray &sha256) {
                         std::printf("received %s %lld %s\n", qUtf8Printable(name), size,
                                     sha256.toHex().constData());
                         std::fflush(stdout);
                     });
    QObject::connect(&registry, &DropPointRegistry::uploadFailed,
                     [](const QString &, const QString &name, const QString &reason) {
                         std::printf("failed %s %s\n", qUtf8Printable(name), qUtf8Printable(reason));
                         std::fflush(stdout);
                     });

    if (const auto failure = server.listen(QHostAddress(arguments[2]), quint16(arguments[3].toUInt()))) {
        std::fprintf(stderr, "%s\n", qUtf8Printable(*failure));
        return 1;
    }
    const auto opened =
        registry.open(arguments[1], ShareLifetime::UntilEnd, {}, QStringLiteral("bench"), limit);
    if (const auto *error = std::get_if<QString>(&opened)) {
        std::fprintf(stderr, "no drop point: %s\n", qUtf8Printable(*error));
        return 1;
    }
    std::printf("link %s\n", qUtf8Printable(ShareLinks::dropPointUrl(arguments[2], server.port(),
                                                                     std::get<DropPointEntry>(opened).code)));
    std::fflush(stdout);
    const int status = application.exec();
    registry.stopAll();
    return status;
}
