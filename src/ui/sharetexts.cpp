#include "sharetexts.h"

#include <cmath>

namespace ShareTexts {

QString size(qint64 bytes)
{
    if (bytes < 1000)
        return QStringLiteral("%1 B").arg(bytes);
    static const char *const units[] = {"KB", "MB", "GB", "TB", "PB"};
    double value = double(bytes) / 1000.0;
    int unit = 0;
    // 999,950 bytes would read "1000.0 KB": that is the next unit's "1.0".
    while (unit < 4 && std::round(value * 10.0) >= 10000.0) {
        value /= 1000.0;
        ++unit;
    }
    return QStringLiteral("%1 %2").arg(value, 0, 'f', 1).arg(QLatin1StringView(units[unit]));
}

QString speed(double bytesPerSecond)
{
    return bytesPerSecond <= 0 ? QStringLiteral("—") : size(qint64(bytesPerSecond)) + QStringLiteral("/秒");
}

QString duration(qint64 ms)
{
    const qint64 seconds = (std::max<qint64>(ms, 0) + 999) / 1000;
    if (seconds >= 86400)
        return QStringLiteral("%1日").arg((seconds + 86399) / 86400);
    if (seconds >= 3600)
        return QStringLiteral("%1時間").arg((seconds + 3599) / 3600);
    if (seconds >= 60)
        return QStringLiteral("%1分").arg((seconds + 59) / 60);
    return QStringLiteral("%1秒").arg(seconds);
}

QString percent(qint64 done, qint64 total)
{
    if (total <= 0)
        return QStringLiteral("—");
    return QStringLiteral("%1%").arg(std::min<qint64>(100, done * 100 / total));
}

} // namespace ShareTexts
