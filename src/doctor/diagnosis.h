#pragma once

#include "net/lanaddress.h"
#include "net/socketowners.h"

#include <QStringList>
#include <optional>

// Everything the doctor found out about this machine, as plain data; the checks judge it.
struct Diagnosis
{
    struct Problem
    {
        QString code;
        QString message;
    };

    struct Peer
    {
        QString name;
        QString address;
    };

    using PortHolder = SocketOwners::PortHolder;

    enum class FirewallView { Read, NeedsRoot, NoTool };

    // Interfaces and the chat's choice among them.
    QList<LanInterface> interfaces;
    std::optional<LanAddress::Choice> choice;
    bool choiceCarriesDefaultRoute = false;

    // set.txt as the chat reads it.
    QString settingsPath;
    bool settingsFound = false;
    QString userName;
    QString subnetMask;
    QString chatPort;
    std::optional<quint16> chatPortNumber;
    QString broadcastAddress;
    std::optional<QString> broadcastError;

    QList<PortHolder> portHolders;

    bool root = false;
    int unprivilegedPortStart = 1024;
    QString chatExecutable;
    bool chatHasBindCapability = false;

    FirewallView firewallView = FirewallView::NoTool;
    QString firewallName; // the filter that drops: "nftables", "iptables", "ufw"
    QList<int> droppedPorts;
    // The share server's TCP ports that a filter drops, and which filter.
    QString shareFirewallName;
    QList<int> droppedSharePorts;
    // The ports of the share range a program listens on; unset when /proc/net/tcp cannot be read.
    std::optional<QList<int>> shareListeningPorts;
    // The history's file, where the chat keeps its shares and drop points, and whether the chat of
    // this chat port has one there that has not expired (its server listens only then); unset when
    // the file cannot be read.
    QString historyPath;
    std::optional<bool> chatServes;

    bool liveRan = false;
    bool listenOnly = false;
    bool ownBroadcastHeard = false;
    std::optional<QString> liveError;
    QList<Peer> peers;
};
