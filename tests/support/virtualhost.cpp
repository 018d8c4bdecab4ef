#include "virtualhost.h"

#include "virtualsocket.h"

VirtualHost::VirtualHost(VirtualLan &lan, const QHostAddress &address, const QString &hostName)
    : m_lan(lan), m_address(address), m_hostName(hostName)
{
}

std::unique_ptr<DatagramSocket> VirtualHost::createSocket()
{
    return std::make_unique<VirtualSocket>(m_lan, m_address, m_canBindPrivileged);
}

std::optional<QHostAddress> VirtualHost::localAddress(QString &error)
{
    if (!m_networkAvailable) {
        error = QStringLiteral("ネットワークにつながっていません");
        return std::nullopt;
    }
    return m_address;
}

QString VirtualHost::localHostName()
{
    return m_hostName;
}
