#include "sharetexts.h"

#include "share/sharelinks.h"

#include <algorithm>

namespace ShareTexts {

QString speed(double bytesPerSecond)
{
    return bytesPerSecond <= 0 ? QStringLiteral("—")
                               : ShareLinks::sizeText(qint64(bytesPerSecond)) + QStringLiteral("/秒");
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
