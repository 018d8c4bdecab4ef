#include "broadcast.h"

#include <QHostAddress>
#include <QStringList>
#include <algorithm>

namespace {

// An empty text has no parts at all, unlike QString::split, which gives one empty part.
QStringList dotParts(const QString &text)
{
    if (text.isEmpty())
        return {};
    return text.split(QLatin1Char('.'));
}

} // namespace

BroadcastResult s_broadcast(const QString &localIp, const QString &subnetMask)
{
    const QStringList address = dotParts(localIp);
    const QStringList mask = dotParts(subnetMask);
    const QString full = QStringLiteral("255");

    BroadcastResult result;
    for (int i = 0; i < 4; ++i) {
        if (i >= mask.size()) {
            result.error =
                QStringLiteral(
                    "サブネットマスク「%1」の %2 番目の数字がありません。"
                    "サブネットマスクは 255.255.255.0 のように 4 つの数字を点で区切って指定してください。")
                    .arg(subnetMask)
                    .arg(i + 1);
            return result;
        }
        QString part = full;
        if (mask.at(i) == full) {
            if (i >= address.size()) {
                result.error = QStringLiteral("この機械のアドレス「%1」の %2 番目の数字がありません。")
                                   .arg(localIp)
                                   .arg(i + 1);
                return result;
            }
            part = address.at(i);
        }
        if (i > 0)
            result.address += QLatin1Char('.');
        result.address += part;
    }
    return result;
}

bool isValidSubnetMask(const QString &subnetMask)
{
    const QStringList parts = subnetMask.split(QLatin1Char('.'));
    if (parts.size() != 4)
        return false;
    for (const QString &part : parts) {
        if (part.isEmpty() || part.size() > 3)
            return false;
        for (QChar c : part) {
            if (c < QLatin1Char('0') || c > QLatin1Char('9'))
                return false;
        }
        if (part.toInt() > 255)
            return false;
    }
    return true;
}

QString maskOfPrefix(int prefixLength)
{
    const quint32 bits = prefixLength <= 0 ? 0 : ~quint32(0) << (32 - std::min(prefixLength, 32));
    return QHostAddress(bits).toString();
}
