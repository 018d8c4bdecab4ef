#pragma once

#include "brokerlink.h"

#include <QHash>
#include <QMap>
#include <QObject>
#include <QSet>
#include <QString>
#include <deque>
#include <memory>

class Scheduler;
class Timer;

struct RelayLimits
{
    int perSourcePerSecond = 100;
    int totalPerSecond = 2000;
    int trackedSources = 65536;     // distinct senders within one second
    int addressesPerSubnet = 65536; // retained join notices kept for one subnet
    int retainedTotal = 262144;     // ... and for all subnets together
    int pacedPerTick = 10;          // rebroadcast of the retained join notices:
    int paceTickMs = 50;            //   200 a second
    int electionSettleMs = 2000;    // after connecting: the retained statuses arrive
    int takeoverSettleMs = 1000;    // after the statuses changed
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
        quint32 ownAddress = 0; // what the relay's own broadcasts carry as their source
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
    };

    enum class Channel { Presence, Chat };
    enum class Role { Standby, Active };

    RelayCore(Settings settings, BrokerLink &broker, LanLink &lan, Scheduler &scheduler, Limits limits = {});
    ~RelayCore() override;

    // Datagrams heard on the subnet with their IPv4 source addresses.
    void lanDatagrams(Channel channel, const QList<QByteArray> &payloads, const QList<quint32> &sources);

    Role role() const { return m_role; }
    const Counts &counts() const { return m_counts; }
    QString statusTopic() const;
    // The other relays whose status the broker holds: topic's subnet key and relay id -> status.
    QMap<QString, QString> relaysSeen() const { return m_relaysSeen; }
    int retainedCount() const { return m_retainedTotal; }
    int ownRetainedCount() const { return int(m_ownAddresses.size()); }
    int pacedPending() const { return int(m_paced.size()); }

    // A valid presence notice: field 0 "1" or "2" and three fields; a chat line: three fields.
    static bool isValidPresence(const QByteArray &payload);
    static bool isValidChat(const QByteArray &payload);
    // The decision among the relays of one subnet: statuses of the others by relay id.
    static Role decide(const QString &ownId, Role current, const QHash<QString, QString> &others);

signals:
    void roleChanged(RelayCore::Role role);

private:
    void onConnected();
    void onDisconnected();
    void onMessage(const QString &topic, const QByteArray &payload, bool retained);
    void onRelayStatus(const QString &subnetKey, const QString &id, const QByteArray &payload);
    void onPresent(const QString &subnetKey, const QString &address, const QByteArray &payload,
                   bool retained);
    void forward(Channel channel, const QByteArray &payload, quint32 source);
    bool rebroadcast(Channel channel, const QByteArray &payload);
    bool takeRate(quint32 source);
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
    Limits m_limits;
    Counts m_counts;
    Role m_role = Role::Standby;
    bool m_connected = false;
    bool m_decided = false; // since the last connection

    std::unique_ptr<Timer> m_rateWindow;
    QHash<quint32, int> m_perSource;
    int m_total = 0;
    int m_lanTotal = 0;

    std::unique_ptr<Timer> m_election;
    QHash<QString, QString> m_peers; // the other relays of this subnet: id -> status
    QMap<QString, QString> m_relaysSeen;

    // Retained join notices of the other subnets: subnet key -> address -> datagram.
    QHash<QString, QHash<QString, QByteArray>> m_retained;
    int m_retainedTotal = 0;
    QSet<QString> m_ownAddresses; // addresses of this subnet whose join notice the broker keeps
    std::deque<std::pair<QString, QString>> m_paced;
    QSet<std::pair<QString, QString>> m_pacedSet;
    std::unique_ptr<Timer> m_pacer;
};
