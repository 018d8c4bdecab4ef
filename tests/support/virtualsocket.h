#pragma once

#include "net/datagramsocket.h"

#include <QPointer>

class VirtualLan;

// A socket on one host of the virtual LAN.
class VirtualSocket : public DatagramSocket
{
    Q_OBJECT

public:
    VirtualSocket(VirtualLan &lan, const QHostAddress &hostAddress, bool canBindPrivileged);
    ~VirtualSocket() override;

    bool bind(quint16 port) override;
    bool sendTo(const QByteArray &payload, const QHostAddress &address, quint16 port) override;
    QString errorString() const override;

    QHostAddress hostAddress() const { return m_hostAddress; }
    quint16 port() const { return m_port; }
    void enqueue(const QByteArray &payload);

private:
    void flush();

    QPointer<VirtualLan> m_lan;
    QHostAddress m_hostAddress;
    bool m_canBindPrivileged;
    quint16 m_port = 0;
    QString m_error;
    QList<QByteArray> m_pending;
};
