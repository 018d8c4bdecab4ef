// The same file served by Qt HTTP Server (a technology preview in Qt 6.4), to compare with the
// share server in bench/share_throughput.sh; runs until killed.
// Usage: bench_qthttp_serve <file> <address> <port>   (link: http://address:port/f/BENCH23456)
#include <QCoreApplication>
#include <QHttpServer>
#include <QHttpServerResponse>
#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    const QStringList arguments = application.arguments();
    if (arguments.size() != 4) {
        std::fprintf(stderr, "usage: bench_qthttp_serve <file> <address> <port>\n");
        return 2;
    }
    const QString path = arguments[1];
    QHttpServer server;
    server.route(QStringLiteral("/f/<arg>"),
                 [path](const QString &) { return QHttpServerResponse::fromFile(path); });
    if (server.listen(QHostAddress(arguments[2]), quint16(arguments[3].toUInt())) == 0) {
        std::fprintf(stderr, "cannot listen\n");
        return 1;
    }
    std::printf("serving\n");
    std::fflush(stdout);
    return application.exec();
}
