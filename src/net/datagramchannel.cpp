#include "datagramchannel.h"

#include "base/cp932.h"

DatagramChannel::DatagramChannel(std::unique_ptr<DatagramSocket> socket, QObject *parent)
    : QObject(parent), m_socket(std::move(socket))
{
    connect(m_socket.get(), &DatagramSocket::datagramsReceived, this,
            [this](const QList<QByteArray> &payloads) {
                QStringList texts;
                texts.reserve(payloads.size());
                for (const QByteArray &payload : payloads)
                    texts.append(Cp932::decode(payload));
                emit dataArrival(texts);
            });
}

DatagramChannel::~DatagramChannel() = default;

bool DatagramChannel::bind(quint16 port)
{
    if (m_socket->bind(port))
        return true;
    m_error = m_socket->errorString();
    return false;
}

bool DatagramChannel::sendData(const QString &text)
{
    QHostAddress address;
    if (!address.setAddress(m_remoteHost) || address.protocol() != QAbstractSocket::IPv4Protocol) {
        m_error = QStringLiteral("宛先アドレス「%1」は IPv4 のアドレスではありません。").arg(m_remoteHost);
        return false;
    }
    if (m_socket->sendTo(Cp932::encode(text), address, m_remotePort))
        return true;
    m_error = m_socket->errorString();
    return false;
}
