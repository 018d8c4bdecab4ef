#pragma once

#include "brokerlink.h"

#include <QHash>
#include <QMap>
#include <QObject>
#include <QSet>
#include <QString>
#include <deque>
#include <functional>
#include <memory>

class Scheduler;
class Timer;

struct RelayLimits
{
    int perSourcePerSecond = 100; // in any span of one second, not per calendar second
    int totalPerSecond = 2000;
    int addressesPerSubnet = 65536; // retained join notices kept for one subnet
    int retainedTotal = 262144;     // ... and for all subnets together
    int pacedPerTick = 10;          // rebroadcast of the retained join notices:
    int paceTickMs = 50;            //   200 a second
    int electionSettleMs = 2000;    // after connecting: the retained statuses arrive
    int takeoverSettleMs = 1000;    // after the statuses changed
    // The forwarding relay's heartbeat through the broker. It forwards only while a heartbeat it
    // sent came back within leaseMs; a standby takes over once the forwarding relay's heartbeats
    // have stopped for lostMs. The difference covers the delays of both relays' event loops.
    int heartbeatMs = 1000;
    int leaseMs = 2500;
    int lostMs = 3500;
    int watchTickMs = 250;
};

// Admissions within the last second: in no span of one second do more than perSource from one
// source, or more than total in all, get through. A sliding window rather than a per-second count,
// which would let twice the number through across the turn of a second. It holds one entry per
// admission of the last second, so its size is bounded by total.
class RateWindow
{
public:
    RateWindow(int perSource, int total) : m_perSource(perSource), m_total(total) {}
    // now: milliseconds on a clock that never goes back.
    bool take(quint32 source, qint64 now);

private:
    int m_perSource;
    int m_total;
    std::deque<std::pair<qint64, quint32>> m_taken;
    QHash<quint32, int> m_bySource;
};

// A datagram heard on the subnet, with what the IP header says: who sent it and to which address.
struct LanDatagram
{
    QByteArray payload;
    quint32 source = 0;
    quint32 destination = 0;
    int interfaceIndex = 0; // where it arrived; 0 when not known
};

// The forwarding rules of one relay, on plain data: what is heard on the subnet and what comes
// from the broker goes in; publications and rebroadcasts go out through the two links.
class RelayCore : public QObject
{
    Q_OBJECT

public:
    struct Settings
    {
        QString topicPrefix = QStringLiteral("zumzum-chat");
        QString subnetKey; // broadcast address and chat port, "198.18.0.255-1000"
        quint16 chatPort = 1000;
        quint32 ownAddress = 0;       // what the relay's own broadcasts carry as their source
        quint32 broadcastAddress = 0; // the subnet's directed broadcast address
        int interfaceIndex = 0;       // the subnet's interface; 0: any
        QString relayId;
        QString site;
    };

    using Limits = RelayLimits;

    struct Counts
    {
        quint64 forwarded = 0;
        quint64 rebroadcast = 0;
        quint64 droppedFormat = 0;
        quint64 droppedRate = 0;
        quint64 droppedQueue = 0;
        quint64 droppedLoop = 0;
        quint64 droppedUnicast = 0;
    };

    enum class Channel { Presence, Chat };
    enum class Role { Standby, Active };

    // Milliseconds on a clock that never goes back and goes on while the process is stopped.
    using Clock = std::function<qint64()>;

    RelayCore(Settings settings, BrokerLink &broker, LanLink &lan, Scheduler &scheduler, Clock clock,
              Limits limits = {});
    ~RelayCore() override;

    void lanDatagrams(Channel channel, const QList<LanDatagram> &datagrams);

    // Active: this relay claims the subnet; it forwards once its first heartbeat came back.
    Role role() const { return m_role; }
    bool forwarding() const;
    const Counts &counts() const { return m_counts; }
    QString statusTopic() const;
    // The other relays whose status the broker holds: topic's subnet key and relay id -> status.
    QMap<QString, QString> relaysSeen() const { return m_relaysSeen; }
    int retainedCount() const { return m_retainedTotal; }
    int ownRetainedCount() const { return int(m_ownAddresses.size()); }
    int pacedPending() const { return int(m_paced.size()); }

    // A valid presence notice: field 0 "1" or "2" and at least three fields; a chat line: at least
    // three fields.
    static bool isValidPresence(const QByteArray &payload);
    static bool isValidChat(const QByteArray &payload);
    // Only what was sent to everybody crosses: the subnet's directed broadcast, or the limited
    // broadcast when it arrived on the subnet's interface.
    bool isToSubnet(const LanDatagram &datagram) const;
    // The decision among the relays of one subnet: statuses of the others by relay id.
    static Role decide(const QString &ownId, Role current, const QHash<QString, QString> &others);

signals:
    // Active once the relay forwards, Standby when it stops or settles as a standby.
    void roleChanged(RelayCore::Role role);
    // The forwarding relay of this subnet sent no heartbeat for lostMs.
    void peerLost(const QString &id);
    // No heartbeat of this relay came back from the broker within leaseMs: it stopped forwarding,
    // and stays out of the elections until one comes back.
    void leaseLapsed();

private:
    void onConnected();
    void onDisconnected();
    void onMessage(const QString &topic, const QByteArray &payload, bool retained);
    void onRelayStatus(const QString &subnetKey, const QString &id, const QByteArray &payload, bool retained);
    void onHeartbeat(const QString &id, const QByteArray &payload);
    void watch();
    void sendHeartbeat(qint64 now);
    bool holdsLease(qint64 now) const;
    // False, and the relay steps down, when its lease has run out.
    bool keepsForwarding();
    QHash<QString, QString> livePeers() const;
    void onPresent(const QString &subnetKey, const QString &address, const QByteArray &payload,
                   bool retained);
    void forward(Channel channel, const QByteArray &payload, quint32 source);
    bool rebroadcast(Channel channel, const QByteArray &payload);
    void setRole(Role role);
    void publishStatus();
    void electNow();
    void paceTick();
    void queueRetainedRebroadcast();
    QString topic(const QString &rest) const;
    bool sameSegment(const QString &subnetKey) const;

    Settings m_settings;
    BrokerLink &m_broker;
    LanLink &m_lan;
    Clock m_clock;
    Limits m_limits;
    Counts m_counts;
    Role m_role = Role::Standby;
    bool m_connected = false;
    bool m_decided = false; // since the last connection

    RateWindow m_toBroker;
    RateWindow m_toLan;

    std::unique_ptr<Timer> m_election;
    QHash<QString, QString> m_peers; // the other relays of this subnet: id -> status
    QMap<QString, QString> m_relaysSeen;

    // Heartbeats. The lease: since when this relay is active, and the sending time of the newest
    // of its heartbeats that came back since.
    std::unique_ptr<Timer> m_watch;
    qint64 m_activeSince = 0;
    qint64 m_confirmed = -1;
    qint64 m_lastSent = -1;
    bool m_announced = false; // roleChanged(Active) said for this activation
    // Since the lease ran out, until a heartbeat sent since comes back. Such a relay says
    // "lapsed": the others neither wait for it nor take it for a candidate.
    bool m_lapsed = false;
    qint64 m_lapsedSince = 0;
    // The other relays of this subnet: when each was last heard, and those that claim to forward
    // but whose heartbeats stopped. A lost relay counts again only with a new status: a heartbeat
    // it queued before it froze may still arrive after another took over.
    QHash<QString, qint64> m_heard;
    QSet<QString> m_lost;

    // Retained join notices of the other subnets: subnet key -> address -> datagram.
    QHash<QString, QHash<QString, QByteArray>> m_retained;
    int m_retainedTotal = 0;
    QSet<QString> m_ownAddresses; // addresses of this subnet whose join notice the broker keeps
    std::deque<std::pair<QString, QString>> m_paced;
    QSet<std::pair<QString, QString>> m_pacedSet;
    std::unique_ptr<Timer> m_pacer;
};
