#pragma once

#include "datagramsocket.h"

#include <QObject>
#include <QStringList>
#include <memory>

// A socket with a remote address and port that stay set until set again, sending and receiving
// text in code page 932 (what wsk and wsk2 are to the rest of the program).
class DatagramChannel : public QObject
{
    Q_OBJECT

public:
    DatagramChannel(std::unique_ptr<DatagramSocket> socket, QObject *parent = nullptr);
    ~DatagramChannel() override;

    void setRemoteHost(const QString &address) { m_remoteHost = address; }
    QString remoteHost() const { return m_remoteHost; }
    void setRemotePort(quint16 port) { m_remotePort = port; }
    quint16 remotePort() const { return m_remotePort; }

    bool bind(quint16 port);
    // One datagram to the current remote host and port.
    bool sendData(const QString &text);
    QString errorString() const { return m_error; }

signals:
    // Every datagram that was waiting, each decoded on its own, in order of arrival.
    void dataArrival(const QStringList &payloads);

private:
    std::unique_ptr<DatagramSocket> m_socket;
    QString m_remoteHost;
    quint16 m_remotePort = 0;
    QString m_error;
};
