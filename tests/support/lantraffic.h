#pragma once

#include "virtuallan.h"

#include <QString>
#include <QStringList>

// The payloads sent to a port, decoded, optionally only those from one address.
QStringList sentTexts(const VirtualLan &lan, quint16 port, const QString &from = QString());

inline const QString lanBroadcast = QStringLiteral("198.18.0.255");
