#include "lansocket.h"

#include "net/datagram.h"
#include "net/sendwhole.h"

#include <QSocketNotifier>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>

LanSocket::LanSocket() : m_fd(::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0)) {}

LanSocket::~LanSocket() = default;

bool LanSocket::bind(quint16 port, std::function<void(const QList<LanDatagram> &)> receiver)
{
    const int on = 1;
    const int buffer = 4 * 1024 * 1024;
    sockaddr_in local = {};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    if (!m_fd.isValid() || ::setsockopt(m_fd.get(), SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0 ||
        ::setsockopt(m_fd.get(), IPPROTO_IP, IP_PKTINFO, &on, sizeof on) != 0 ||
        ::bind(m_fd.get(), reinterpret_cast<const sockaddr *>(&local), sizeof local) != 0) {
        m_error = errno;
        return false;
    }
    ::setsockopt(m_fd.get(), SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
    m_receiver = std::move(receiver);
    m_notifier = std::make_unique<QSocketNotifier>(m_fd.get(), QSocketNotifier::Read);
    QObject::connect(m_notifier.get(), &QSocketNotifier::activated, m_notifier.get(), [this] { readPass(); });
    return true;
}

QString LanSocket::errorString() const
{
    // The texts bindFailure() looks for.
    switch (m_error) {
    case EACCES: return QStringLiteral("The address is protected");
    case EADDRINUSE: return QStringLiteral("The bound address is already in use");
    default: return QString::fromLocal8Bit(std::strerror(m_error));
    }
}

bool LanSocket::sendTo(const QByteArray &payload, quint32 address, quint16 port)
{
    sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(address);
    return sendWholeDatagram(m_fd.get(), payload, to) == 0;
}

void LanSocket::readPass()
{
    // The largest payload of an IPv4 datagram: every datagram crosses whole.
    static constexpr int largest = 65535;
    m_buffer.resize(largest);
    QList<LanDatagram> datagrams;
    for (int i = 0; i < 256; ++i) {
        sockaddr_in from = {};
        iovec data = {m_buffer.data(), size_t(m_buffer.size())};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))];
        msghdr message = {};
        message.msg_name = &from;
        message.msg_namelen = sizeof from;
        message.msg_iov = &data;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        const ssize_t size = ::recvmsg(m_fd.get(), &message, MSG_DONTWAIT);
        if (size < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        LanDatagram datagram;
        datagram.payload = QByteArray(m_buffer.constData(), qsizetype(size));
        datagram.source = ntohl(from.sin_addr.s_addr);
        for (cmsghdr *c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c)) {
            if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
                in_pktinfo info;
                std::memcpy(&info, CMSG_DATA(c), sizeof info);
                datagram.destination = ntohl(info.ipi_addr.s_addr);
                datagram.interfaceIndex = info.ipi_ifindex;
            }
        }
        datagrams.append(std::move(datagram));
    }
    if (!datagrams.isEmpty())
        m_receiver(datagrams);
}

SocketLan::SocketLan(LanSocket &presence, LanSocket &chat, quint32 broadcast, quint16 chatPort)
    : m_presence(presence), m_chat(chat), m_broadcast(broadcast), m_chatPort(chatPort)
{
}

bool SocketLan::sendPresence(const QByteArray &payload)
{
    return m_presence.sendTo(payload, m_broadcast, Datagram::presencePort);
}

bool SocketLan::sendChat(const QByteArray &payload)
{
    return m_chat.sendTo(payload, m_broadcast, m_chatPort);
}
