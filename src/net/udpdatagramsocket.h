#pragma once

#include "base/filedescriptor.h"
#include "base/ownedthread.h"
#include "datagramsocket.h"

#include <atomic>

class UdpReader;

// How much the reader thread may take from the kernel before the window has caught up. Beyond
// it the reader stops reading, and the kernel's socket buffer drops what does not fit, as it does
// for every UDP receiver: a flood costs a bounded amount of memory and never stalls the window.
struct ReceiveLimits
{
    int datagramsPerPass = 256;
    qsizetype bytesPerPass = 1024 * 1024;
    int batchesInFlight = 4;
};

// A UDP socket whose datagrams are read on a thread of their own, so a burst is taken off the
// kernel's buffer while the window is busy; arrivals reach the window's thread in batches. Sends
// go straight to the kernel from the caller's thread and never wait for the reader.
class UdpDatagramSocket : public DatagramSocket
{
    Q_OBJECT

public:
    explicit UdpDatagramSocket(ReceiveLimits limits = {});

    bool bind(quint16 port) override;
    bool sendTo(const QByteArray &payload, const QHostAddress &address, quint16 port) override;
    QString errorString() const override;

    // The bound port (the kernel's choice after bind(0)), or 0.
    quint16 localPort() const;
    // Batches handed to this thread and not yet delivered.
    int batchesInFlight() const { return m_inFlight.load(); }

signals:
    // The same batches with each datagram's IPv4 source address, for a receiver that must tell
    // senders apart by what the network says rather than by what the payload claims.
    void datagramsReceivedFrom(const QList<QByteArray> &payloads, const QList<quint32> &sources);

private:
    void deliver(const QList<QByteArray> &payloads, const QList<quint32> &sources);

    ReceiveLimits m_limits;
    // Closed only once the reader thread, declared after it, has ended.
    FileDescriptor m_fd;
    QString m_error;
    std::atomic<int> m_inFlight{0};
    OwnedThread m_thread;
    UdpReader *m_reader = nullptr;
};
