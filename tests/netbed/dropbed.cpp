// A drop point served on 127.0.0.1 by the program's own server and registry, for the browser
// test: prints "link URL", then "received NAME SIZE SHA256" for each file that arrives whole.
// Usage: zumzum-dropbed FOLDER RECEIVER-NAME
#include "base/systemscheduler.h"
#include "share/droppointregistry.h"
#include "share/droppointtable.h"
#include "share/shareserver.h"
#include "share/sharetable.h"

#include <QCoreApplication>
#include <QDateTime>
#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    if (arguments.size() != 3) {
        std::fprintf(stderr, "usage: zumzum-dropbed FOLDER RECEIVER-NAME\n");
        return 2;
    }
    SystemScheduler scheduler;
    const ShareNow now = [] { return QDateTime::currentMSecsSinceEpoch(); };
    ShareTable shares;
    DropPointTable table;
    DropPointRegistry registry(nullptr, table, scheduler, now);
    ShareServer server(shares, now, scheduler);
    server.setDropPoints(&table);
    QObject::connect(&server, &ShareServer::uploadReceived, &registry, &DropPointRegistry::receive);
    QObject::connect(&server, &ShareServer::uploadFailed, &registry, &DropPointRegistry::fail);
    QObject::connect(&server, &ShareServer::uploadResumableSaved, &registry,
                     &DropPointRegistry::resumableSaved);
    QObject::connect(&server, &ShareServer::uploadResumableGone, &registry,
                     &DropPointRegistry::resumableGone);
    QObject::connect(&registry, &DropPointRegistry::fileReceived,
                     [](const QString &, const QString &name, qint64 size, const QByteArray &sha256) {
                         std::printf("received %s %lld %s\n", name.toUtf8().constData(), size,
                                     sha256.toHex().constData());
                         std::fflush(stdout);
                     });
    if (const auto failure = server.listen(QHostAddress::LocalHost, 0)) {
        std::fprintf(stderr, "%s\n", failure->toUtf8().constData());
        return 1;
    }
    const auto opened = registry.open(arguments[1], ShareLifetime::OneHour, {}, arguments[2]);
    if (const QString *reason = std::get_if<QString>(&opened)) {
        std::fprintf(stderr, "%s\n", reason->toUtf8().constData());
        return 1;
    }
    std::printf("link http://127.0.0.1:%d/u/%s\n", int(server.port()),
                std::get<DropPointEntry>(opened).code.toLatin1().constData());
    std::fflush(stdout);
    return app.exec();
}
