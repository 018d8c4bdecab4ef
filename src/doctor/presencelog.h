#pragma once

#include "diagnosis.h"

// The join notices heard on the presence port during the live check: the own one, and each
// peer once. Peers send what they like; the list and each text are bounded.
class PresenceLog
{
public:
    static constexpr int maxPeers = 1024;
    static constexpr int maxText = 256;

    explicit PresenceLog(const QString &ownAddress);

    void feed(const QStringList &payloads);

    bool ownHeard() const { return m_ownHeard; }
    const QList<Diagnosis::Peer> &peers() const { return m_peers; }

private:
    QString m_ownAddress;
    bool m_ownHeard = false;
    QList<Diagnosis::Peer> m_peers;
};
