#pragma once

#include "net/datagramsocket.h"

#include <QPointer>
#include <memory>

class VirtualLan;
struct VirtualHostState;

// A socket on one host of the virtual LAN.
class VirtualSocket : public DatagramSocket
{
    Q_OBJECT

public:
    VirtualSocket(VirtualLan &lan, std::shared_ptr<const VirtualHostState> host, bool canBindPrivileged);
    ~VirtualSocket() override;

    bool bind(quint16 port) override;
    bool sendTo(const QByteArray &payload, const QHostAddress &address, quint16 port) override;
    QString errorString() const override;

    // The host's address now: it may have moved since the socket was bound.
    QHostAddress hostAddress() const;
    bool networkAvailable() const;
    quint16 port() const { return m_port; }
    void enqueue(const QByteArray &payload);

private:
    void flush();

    QPointer<VirtualLan> m_lan;
    std::shared_ptr<const VirtualHostState> m_host;
    bool m_canBindPrivileged;
    quint16 m_port = 0;
    QString m_error;
    QList<QByteArray> m_pending;
};
