#pragma once

#include <QString>
#include <QStringList>
#include <functional>

// Speeds, durations and shares of a whole as the share windows show them; sizes are
// ShareLinks::sizeText, as in the chat line.
namespace ShareTexts {

// "2.4 MB/秒", or "—" while nothing moves.
QString speed(double bytesPerSecond);
// "3日", "5時間", "12分", "40秒", rounded up so that a share never reads as 0 before it ends.
QString duration(qint64 ms);
// "45%" or "—" while the size is unknown.
QString percent(qint64 done, qint64 total);
// "全員", or "host2 (198.18.0.2)、198.18.0.9": each address with the participant's name when
// nameOf knows one.
QString people(const QStringList &addresses, const std::function<QString(const QString &)> &nameOf);
// Text from the network fit for one line of the log: control, line-break and direction characters
// as blanks, so that nothing in it can hide or reorder the rest of the line.
QString plain(const QString &peerText);
// The log's line for a file that arrived through a drop point; senderName empty when the address
// is nobody in the participant list.
QString received(const QString &senderName, const QString &address, const QString &fileName, qint64 size,
                 const QString &folder);
// The log's line for an upload that stopped on this side.
QString receiveFailed(const QString &fileName, const QString &reason, const QString &folder);

} // namespace ShareTexts
