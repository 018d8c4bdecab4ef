#pragma once

#include "diagnosis.h"

// The causes of "why can't I see anyone?", judged on what the doctor found; each problem names
// the cause and the remedy in Japanese.
namespace Checks {

QList<Diagnosis::Problem> problems(const Diagnosis &diagnosis);
// What is worth saying that is no fault, such as nothing listening on the share ports while no
// chat runs, or while the chat shares nothing and has no drop point open.
QStringList notes(const Diagnosis &diagnosis);

// The TCP ports of the chat's server of shared files: the first free one of these. The doctor
// cannot include the share room, so the range is stated here too.
inline constexpr int firstSharePort = 50012;
inline constexpr int lastSharePort = 50019;
QList<int> sharePorts();

// A chat of this machine holds one of the chat's UDP ports (as far as /proc names the holder).
std::optional<SocketOwners::Process> runningChat(const Diagnosis &diagnosis);

// The ports the chat needs: chatPort (when it is a port) and the presence port.
QList<int> chatPorts(const Diagnosis &diagnosis);

// The live check runs unless one of the ports is held.
bool liveCheckAllowed(const Diagnosis &diagnosis);

// The mask that set.txt needs for the interface's subnet; empty when no mask can give its
// broadcast address, because the derivation works by whole octets.
QString matchingMask(int prefixLength);

// The broadcast address of an IPv4 subnet.
QString subnetBroadcast(const QHostAddress &ip, int prefixLength);

} // namespace Checks
