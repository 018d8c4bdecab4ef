#include "udpdatagramsocket.h"

#include "sendwhole.h"

#include <QSocketNotifier>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>

namespace {

constexpr int receiveBufferBytes = 4 * 1024 * 1024;
// The largest payload an IPv4 datagram can carry.
constexpr int largestDatagram = 65535;

QString systemError(int error)
{
    // The texts the rest of the program and the user have always seen for these two.
    switch (error) {
    case EACCES: return QStringLiteral("The address is protected");
    case EADDRINUSE: return QStringLiteral("The bound address is already in use");
    default: return QString::fromLocal8Bit(std::strerror(error));
    }
}

sockaddr_in ipv4(const QHostAddress &address, quint16 port)
{
    sockaddr_in socketAddress = {};
    socketAddress.sin_family = AF_INET;
    socketAddress.sin_port = htons(port);
    socketAddress.sin_addr.s_addr = htonl(address.toIPv4Address());
    return socketAddress;
}

} // namespace

// Lives on the socket's thread and reads there.
class UdpReader : public QObject
{
    Q_OBJECT

public:
    UdpReader(int fd, ReceiveLimits limits, std::atomic<int> &inFlight)
        : m_fd(fd), m_limits(limits), m_inFlight(inFlight), m_buffer(largestDatagram, Qt::Uninitialized)
    {
    }

    void start()
    {
        m_notifier = new QSocketNotifier(m_fd, QSocketNotifier::Read, this);
        connect(m_notifier, &QSocketNotifier::activated, this, &UdpReader::readPass);
    }

    void resume()
    {
        if (m_notifier)
            m_notifier->setEnabled(true);
    }

signals:
    void received(const QList<QByteArray> &payloads, const QList<quint32> &sources);

private:
    void readPass()
    {
        QList<QByteArray> payloads;
        QList<quint32> sources;
        qsizetype bytes = 0;
        while (payloads.size() < m_limits.datagramsPerPass && bytes < m_limits.bytesPerPass) {
            sockaddr_in from = {};
            socklen_t fromLength = sizeof from;
            const ssize_t size = ::recvfrom(m_fd, m_buffer.data(), size_t(m_buffer.size()), MSG_DONTWAIT,
                                            reinterpret_cast<sockaddr *>(&from), &fromLength);
            if (size < 0) {
                if (errno == EINTR)
                    continue;
                break; // nothing more waiting
            }
            payloads.append(QByteArray(m_buffer.constData(), qsizetype(size)));
            sources.append(ntohl(from.sin_addr.s_addr));
            bytes += size;
        }
        if (payloads.isEmpty())
            return;
        // Counted before it is handed on, or the window could finish it before it was counted.
        if (m_inFlight.fetch_add(1) + 1 >= m_limits.batchesInFlight)
            m_notifier->setEnabled(false);
        emit received(payloads, sources);
    }

    int m_fd;
    ReceiveLimits m_limits;
    std::atomic<int> &m_inFlight;
    QByteArray m_buffer;
    QSocketNotifier *m_notifier = nullptr;
};

UdpDatagramSocket::UdpDatagramSocket(ReceiveLimits limits)
    : m_limits(limits), m_fd(::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0))
{
    if (!m_fd.isValid()) {
        m_error = systemError(errno);
        return;
    }
    const int on = 1;
    ::setsockopt(m_fd.get(), SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    m_thread.reset(new QThread);
    m_thread->setObjectName(QStringLiteral("udp"));
}

bool UdpDatagramSocket::bind(quint16 port)
{
    if (!m_fd.isValid())
        return false;
    // No SO_REUSEADDR: a second instance on this machine must fail here instead of silently
    // stealing the unicasts of the first.
    const sockaddr_in local = ipv4(QHostAddress(QHostAddress::AnyIPv4), port);
    if (::bind(m_fd.get(), reinterpret_cast<const sockaddr *>(&local), sizeof local) != 0) {
        m_error = systemError(errno);
        return false;
    }
    ::setsockopt(m_fd.get(), SOL_SOCKET, SO_RCVBUF, &receiveBufferBytes, sizeof receiveBufferBytes);

    m_reader = new UdpReader(m_fd.get(), m_limits, m_inFlight);
    m_reader->moveToThread(m_thread.get());
    connect(m_thread.get(), &QThread::finished, m_reader, &QObject::deleteLater);
    connect(m_reader, &UdpReader::received, this, &UdpDatagramSocket::deliver, Qt::QueuedConnection);
    m_thread->start();
    QMetaObject::invokeMethod(m_reader, &UdpReader::start, Qt::QueuedConnection);
    return true;
}

void UdpDatagramSocket::deliver(const QList<QByteArray> &payloads, const QList<quint32> &sources)
{
    emit datagramsReceived(payloads);
    emit datagramsReceivedFrom(payloads, sources);
    // The reader stopped when the last free slot was taken; this frees one.
    if (m_inFlight.fetch_sub(1) == m_limits.batchesInFlight)
        QMetaObject::invokeMethod(m_reader, &UdpReader::resume, Qt::QueuedConnection);
}

bool UdpDatagramSocket::sendTo(const QByteArray &payload, const QHostAddress &address, quint16 port)
{
    if (!m_fd.isValid())
        return false;
    const int error = sendWholeDatagram(m_fd.get(), payload, ipv4(address, port));
    if (error == 0)
        return true;
    m_error = systemError(error);
    return false;
}

QString UdpDatagramSocket::errorString() const
{
    return m_error;
}

quint16 UdpDatagramSocket::localPort() const
{
    sockaddr_in local = {};
    socklen_t length = sizeof local;
    if (!m_fd.isValid() || ::getsockname(m_fd.get(), reinterpret_cast<sockaddr *>(&local), &length) != 0)
        return 0;
    return ntohs(local.sin_port);
}

#include "udpdatagramsocket.moc"
