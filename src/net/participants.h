#pragma once

#include <QString>
#include <QStringList>

// Participant entries: name, two TABs, address. The address is the key.
namespace Participants {

inline const QString separator = QStringLiteral("\t\t");

QString entry(const QString &name, const QString &address);
// The piece after the two-TAB separator.
QString address(const QString &entry);
// f_listChk: index of the first entry whose address equals the given one exactly, or -1.
int f_listChk(const QStringList &entries, const QString &address);

QString joinLine(const QString &name, const QString &timeOfDay);
QString leaveLine(const QString &name, const QString &timeOfDay);
// The machine moved from one address to another; an empty address is written as none.
QString networkChangeLine(const QString &oldAddress, const QString &newAddress, const QString &timeOfDay);

// Ten times the last number of the own address, in milliseconds: staggers the answers across the
// LAN. 0 for an address whose last part is not a number from 1 to 255.
int answerDelayMs(const QString &localIp);

} // namespace Participants
