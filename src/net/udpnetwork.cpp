#include "udpnetwork.h"

#include <QHostInfo>
#include <QNetworkInterface>
#include <QThread>
#include <QUdpSocket>
#include <QVariant>

namespace {

constexpr int receiveBufferBytes = 4 * 1024 * 1024;

// Asks the routing table which source address a packet to the outside would leave from; nothing
// is sent.
std::optional<QHostAddress> defaultRouteSource()
{
    QUdpSocket probe;
    probe.connectToHost(QHostAddress(QStringLiteral("198.51.100.1")), 9);
    if (!probe.waitForConnected(200))
        return std::nullopt;
    const QHostAddress source = probe.localAddress();
    if (source.isNull() || source.isLoopback() || source.protocol() != QAbstractSocket::IPv4Protocol)
        return std::nullopt;
    return source;
}

} // namespace

// Lives on the socket's thread; every call into it runs there.
class UdpWorker : public QObject
{
    Q_OBJECT

public:
    UdpWorker() : m_socket(new QUdpSocket(this))
    {
        connect(m_socket, &QUdpSocket::readyRead, this, &UdpWorker::drain);
    }

    bool bind(quint16 port, QString &error)
    {
        // DontShareAddress: a second instance on this machine must fail here instead of silently
        // stealing the unicasts of the first.
        if (!m_socket->bind(QHostAddress::AnyIPv4, port, QAbstractSocket::DontShareAddress)) {
            error = m_socket->errorString();
            return false;
        }
        m_socket->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, QVariant(receiveBufferBytes));
        return true;
    }

    bool send(const QByteArray &payload, const QHostAddress &address, quint16 port, QString &error)
    {
        if (m_socket->writeDatagram(payload, address, port) != payload.size()) {
            error = m_socket->errorString();
            return false;
        }
        return true;
    }

signals:
    void received(const QList<QByteArray> &payloads);

private:
    void drain()
    {
        QList<QByteArray> payloads;
        for (qint64 size = m_socket->pendingDatagramSize(); size >= 0; size = m_socket->pendingDatagramSize()) {
            QByteArray payload(size, Qt::Uninitialized);
            const qint64 read = m_socket->readDatagram(payload.data(), size);
            if (read < 0)
                break;
            payload.truncate(read);
            payloads.append(payload);
        }
        if (!payloads.isEmpty())
            emit received(payloads);
    }

    QUdpSocket *m_socket;
};

UdpDatagramSocket::UdpDatagramSocket() : m_thread(new QThread), m_worker(new UdpWorker)
{
    m_thread->setObjectName(QStringLiteral("udp"));
    m_worker->moveToThread(m_thread);
    connect(m_worker, &UdpWorker::received, this, &DatagramSocket::datagramsReceived, Qt::QueuedConnection);
    connect(m_thread, &QThread::finished, m_worker, &QObject::deleteLater);
    m_thread->start();
}

UdpDatagramSocket::~UdpDatagramSocket()
{
    m_thread->quit();
    m_thread->wait();
    delete m_thread;
}

bool UdpDatagramSocket::bind(quint16 port)
{
    bool bound = false;
    QMetaObject::invokeMethod(m_worker, [&] { bound = m_worker->bind(port, m_error); },
                              Qt::BlockingQueuedConnection);
    return bound;
}

bool UdpDatagramSocket::sendTo(const QByteArray &payload, const QHostAddress &address, quint16 port)
{
    bool sent = false;
    QMetaObject::invokeMethod(m_worker, [&] { sent = m_worker->send(payload, address, port, m_error); },
                              Qt::BlockingQueuedConnection);
    return sent;
}

QString UdpDatagramSocket::errorString() const
{
    return m_error;
}


std::unique_ptr<DatagramSocket> UdpNetwork::createSocket()
{
    return std::make_unique<UdpDatagramSocket>();
}

std::optional<QHostAddress> UdpNetwork::localAddress(QString &error)
{
    QList<LanInterface> interfaces;
    for (const QNetworkInterface &interface : QNetworkInterface::allInterfaces()) {
        const auto flags = interface.flags();
        LanInterface lan;
        lan.up = flags.testFlag(QNetworkInterface::IsUp);
        lan.running = flags.testFlag(QNetworkInterface::IsRunning);
        lan.loopback = flags.testFlag(QNetworkInterface::IsLoopBack);
        lan.canBroadcast = flags.testFlag(QNetworkInterface::CanBroadcast);
        for (const QNetworkAddressEntry &entry : interface.addressEntries())
            lan.addresses.append(entry.ip());
        interfaces.append(lan);
    }
    const auto address = chooseLanAddress(interfaces, defaultRouteSource());
    if (!address) {
        error = QStringLiteral("IPv4 のアドレスを持ち、ブロードキャストできるインターフェースがありません");
    }
    return address;
}

QString UdpNetwork::localHostName()
{
    return QHostInfo::localHostName();
}

std::optional<QHostAddress> UdpNetwork::chooseLanAddress(const QList<LanInterface> &interfaces,
                                                         const std::optional<QHostAddress> &routeSource)
{
    std::optional<QHostAddress> firstUsable;
    for (const LanInterface &interface : interfaces) {
        if (!interface.up || !interface.running || interface.loopback || !interface.canBroadcast)
            continue;
        for (const QHostAddress &ip : interface.addresses) {
            if (ip.protocol() != QAbstractSocket::IPv4Protocol)
                continue;
            if (routeSource && ip.isEqual(*routeSource))
                return ip;
            if (!firstUsable)
                firstUsable = ip;
        }
    }
    return firstUsable;
}

#include "udpnetwork.moc"
