#pragma once

#include <QString>
#include <optional>

struct BroadcastResult
{
    QString address;              // the parts built so far when the derivation failed
    std::optional<QString> error; // set when a needed part is missing
};

// s_broadcast: each octet is the machine's own where the mask part is exactly "255", else "255".
// Works on the texts only; parts beyond the fourth are ignored.
BroadcastResult s_broadcast(const QString &localIp, const QString &subnetMask);

// True when the mask is four dot-separated numbers from 0 to 255.
bool isValidSubnetMask(const QString &subnetMask);

// The dotted mask of a network prefix length: 24 gives "255.255.255.0"; below 0 or above 32 is
// taken as 0 or 32.
QString maskOfPrefix(int prefixLength);
