#pragma once

#include <QString>

// Sizes, speeds and durations as the share windows show them.
namespace ShareTexts {

// Decimal units as file managers show them: "999 B", "1.0 KB", "2.4 MB".
QString size(qint64 bytes);
QString speed(double bytesPerSecond);
// "3日", "5時間", "12分", "40秒", rounded up so that a share never reads as 0 before it ends.
QString duration(qint64 ms);
// "45%" or "—" while the size is unknown.
QString percent(qint64 done, qint64 total);

} // namespace ShareTexts
