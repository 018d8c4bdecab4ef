#include "base/filedescriptor.h"
#include "base/ownedthread.h"
#include "net/udpdatagramsocket.h"

#include <QDeadlineTimer>
#include <QTest>
#include <QUdpSocket>
#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <sys/socket.h>

namespace {

// Polls without running this thread's event loop, as a window that is busy elsewhere.
bool waitWithoutEvents(const std::function<bool()> &condition)
{
    const QDeadlineTimer deadline(10000);
    while (!condition()) {
        if (deadline.hasExpired())
            return false;
        QTest::qSleep(5);
    }
    return true;
}

} // namespace

// The real socket on the loopback interface, on a port the kernel picks.
class TestUdpSocket : public QObject
{
    Q_OBJECT

private slots:
    // While the window's thread is busy, the reader must stop after a bounded amount and leave
    // the rest to the kernel, instead of queueing every datagram of a flood in memory.
    void readerStopsWhenTheWindowFallsBehind()
    {
        const ReceiveLimits limits{.datagramsPerPass = 16, .bytesPerPass = 1 << 20, .batchesInFlight = 3};
        UdpDatagramSocket socket(limits);
        QVERIFY(socket.bind(0));
        QList<QByteArray> received;
        connect(&socket, &DatagramSocket::datagramsReceived, this,
                [&](const QList<QByteArray> &payloads) { received += payloads; });
        // The same batches with their senders, one address per payload.
        QList<quint32> sources;
        connect(&socket, &UdpDatagramSocket::datagramsReceivedFrom, this,
                [&](const QList<QByteArray> &payloads, const QList<quint32> &from) {
                    QCOMPARE(from.size(), payloads.size());
                    sources += from;
                });

        QUdpSocket sender;
        const int sent = 400;
        for (int i = 0; i < sent; ++i)
            QVERIFY(sender.writeDatagram(QByteArray::number(i), QHostAddress::LocalHost, socket.localPort()) >
                    0);

        // Nothing is delivered while this thread does not return to its event loop.
        QVERIFY(waitWithoutEvents([&] { return socket.batchesInFlight() == limits.batchesInFlight; }));
        QTest::qSleep(50);
        QCOMPARE(socket.batchesInFlight(), limits.batchesInFlight);
        QCoreApplication::sendPostedEvents(&socket, QEvent::MetaCall);
        QVERIFY2(received.size() <= limits.batchesInFlight * limits.datagramsPerPass,
                 qPrintable(QStringLiteral("%1 datagrams were held for a busy window").arg(received.size())));

        // Once the window catches up, reading goes on, in order.
        QTRY_COMPARE_WITH_TIMEOUT(received.size(), sent, 10000);
        for (int i = 0; i < sent; ++i)
            QCOMPARE(received.at(i), QByteArray::number(i));
        QCOMPARE(sources, QList<quint32>(sent, QHostAddress(QHostAddress::LocalHost).toIPv4Address()));
    }

    void bindFailuresAreReported()
    {
        UdpDatagramSocket first;
        QVERIFY(first.bind(0));
        UdpDatagramSocket second;
        QVERIFY(!second.bind(first.localPort()));
        QCOMPARE(second.errorString(), QStringLiteral("The bound address is already in use"));
    }

    // A thread destroyed while it runs aborts the program; what lives on it must be gone, too,
    // before the things it reads (the socket, the counters) are.
    void ownedThreadEndsBeforeItGoes()
    {
        OwnedThread thread(new QThread);
        auto *worker = new QObject;
        std::atomic<bool> workerGone{false};
        connect(
            worker, &QObject::destroyed, worker, [&] { workerGone = true; }, Qt::DirectConnection);
        worker->moveToThread(thread.get());
        connect(thread.get(), &QThread::finished, worker, &QObject::deleteLater);
        thread->start();
        QVERIFY(waitWithoutEvents([&] { return thread->isRunning(); }));

        thread.reset();
        QVERIFY2(workerGone, "the object on the thread outlived its owner");
    }

    void descriptorIsClosedWhenItGoes()
    {
        const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        QVERIFY(fd >= 0);
        {
            const FileDescriptor owned(fd);
            QVERIFY(owned.isValid());
            QCOMPARE(owned.get(), fd);
        }
        errno = 0;
        QCOMPARE(::fcntl(fd, F_GETFD), -1);
        QCOMPARE(errno, EBADF);
        QVERIFY(!FileDescriptor().isValid());
    }
};

QTEST_GUILESS_MAIN(TestUdpSocket)
#include "tst_udpsocket.moc"
