#include "virtualsocket.h"

#include "virtualhost.h"
#include "virtuallan.h"

#include <QMetaObject>
#include <utility>

VirtualSocket::VirtualSocket(VirtualLan &lan, std::shared_ptr<const VirtualHostState> host,
                             bool canBindPrivileged)
    : m_lan(&lan), m_host(std::move(host)), m_canBindPrivileged(canBindPrivileged)
{
}

QHostAddress VirtualSocket::hostAddress() const
{
    return m_host->address;
}

bool VirtualSocket::networkAvailable() const
{
    return m_host->networkAvailable;
}

VirtualSocket::~VirtualSocket()
{
    if (m_lan)
        m_lan->unbind(this);
}

bool VirtualSocket::bind(quint16 port)
{
    if (!m_lan)
        return false;
    if (port < 1024 && !m_canBindPrivileged) {
        m_error = QStringLiteral("The address is protected");
        return false;
    }
    if (!m_lan->bind(this, port, m_error))
        return false;
    m_port = port;
    return true;
}

bool VirtualSocket::sendTo(const QByteArray &payload, const QHostAddress &address, quint16 port)
{
    return m_lan && m_lan->send(this, payload, address, port, m_error);
}

QString VirtualSocket::errorString() const
{
    return m_error;
}

void VirtualSocket::enqueue(const QByteArray &payload)
{
    m_pending.append(payload);
    if (m_pending.size() == 1)
        QMetaObject::invokeMethod(this, &VirtualSocket::flush, Qt::QueuedConnection);
}

void VirtualSocket::flush()
{
    const QList<QByteArray> payloads = std::exchange(m_pending, {});
    if (!payloads.isEmpty())
        emit datagramsReceived(payloads);
}
