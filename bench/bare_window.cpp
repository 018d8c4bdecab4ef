// The yardstick for start-up: a bare Qt window with a Japanese label that converts one text to
// code page 932 and broadcasts it as a join notice would go, then waits to be ended.
#include "netnsguard.h"

#include <QApplication>
#include <QLabel>
#include <QStringEncoder>
#include <QUdpSocket>
#include <cstdio>

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    if (const QString why = Bench::notInBenchNamespace(); !why.isEmpty()) {
        std::fprintf(stderr, "%s\n", qPrintable(why));
        return 2;
    }
    QLabel label(QStringLiteral("参加者リスト"));
    label.show();
    QStringEncoder encoder("windows-31j");
    const QByteArray join = encoder.encode(QStringLiteral("1\tbare\t198.18.0.1"));
    QUdpSocket socket;
    socket.writeDatagram(join, QHostAddress(QStringLiteral("198.18.0.255")), 50011);
    return application.exec();
}
