#include "virtualhost.h"

#include "virtualsocket.h"

VirtualHost::VirtualHost(VirtualLan &lan, const QHostAddress &address, const QString &hostName)
    : m_lan(lan), m_state(std::make_shared<VirtualHostState>(VirtualHostState{address})), m_hostName(hostName)
{
}

std::unique_ptr<DatagramSocket> VirtualHost::createSocket()
{
    return std::make_unique<VirtualSocket>(m_lan, m_state, m_canBindPrivileged);
}

std::optional<QHostAddress> VirtualHost::localAddress(QString &error)
{
    if (!m_state->networkAvailable) {
        error = QStringLiteral("ネットワークにつながっていません");
        return std::nullopt;
    }
    return m_state->address;
}

QString VirtualHost::localHostName()
{
    return m_hostName;
}
