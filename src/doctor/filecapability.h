#pragma once

#include <QByteArray>

// File capabilities as the kernel stores them in the security.capability attribute.
namespace FileCapability {

// cap_net_bind_service permitted and effective ("+ep"): the program binds ports below the
// unprivileged start without being root.
bool grantsBindService(const QByteArray &securityCapability);

} // namespace FileCapability
