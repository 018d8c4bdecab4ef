#pragma once

#include <QString>

// Speeds, durations and shares of a whole as the share windows show them; sizes are
// ShareLinks::sizeText, as in the chat line.
namespace ShareTexts {

// "2.4 MB/秒", or "—" while nothing moves.
QString speed(double bytesPerSecond);
// "3日", "5時間", "12分", "40秒", rounded up so that a share never reads as 0 before it ends.
QString duration(qint64 ms);
// "45%" or "—" while the size is unknown.
QString percent(qint64 done, qint64 total);

} // namespace ShareTexts
