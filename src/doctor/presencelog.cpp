#include "presencelog.h"

#include "net/datagram.h"

PresenceLog::PresenceLog(const QString &ownAddress) : m_ownAddress(ownAddress) {}

void PresenceLog::feed(const QStringList &payloads)
{
    for (const QString &payload : payloads) {
        const auto fields = Datagram::split(payload);
        if (!fields || fields->field0 != Datagram::joinKind)
            continue;
        if (fields->field2 == m_ownAddress) {
            m_ownHeard = true;
            continue;
        }
        const QString address = fields->field2.left(maxText);
        if (m_peers.size() >= maxPeers)
            continue;
        const bool known = std::any_of(m_peers.cbegin(), m_peers.cend(),
                                       [&](const Diagnosis::Peer &peer) { return peer.address == address; });
        if (!known)
            m_peers.append({fields->field1.left(maxText), address});
    }
}
