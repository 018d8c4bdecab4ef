#include "sharetexts.h"

#include "share/sharelinks.h"

#include <QDir>

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

QString people(const QStringList &addresses, const std::function<QString(const QString &)> &nameOf)
{
    if (addresses.isEmpty())
        return QStringLiteral("全員");
    QStringList who;
    for (const QString &address : addresses) {
        const QString name = nameOf ? plain(nameOf(address)) : QString();
        who.append(name.isEmpty() ? address : QStringLiteral("%1 (%2)").arg(name, address));
    }
    return who.join(QStringLiteral("、"));
}

QString plain(const QString &peerText)
{
    QString text = peerText;
    for (QChar &c : text) {
        const char16_t u = c.unicode();
        const bool direction = u == 0x061C || u == 0x200E || u == 0x200F || (u >= 0x202A && u <= 0x202E) ||
                               (u >= 0x2066 && u <= 0x2069);
        if (c.category() == QChar::Other_Control || direction || u == 0x2028 || u == 0x2029)
            c = u' ';
    }
    return text;
}

QString received(const QString &senderName, const QString &address, const QString &fileName, qint64 size,
                 const QString &folder)
{
    const QString name = plain(senderName);
    const QString from = name.isEmpty() ? address : QStringLiteral("%1 (%2)").arg(name, address);
    return QStringLiteral("%1 からファイルを受け取りました: %2 (%3)、保存先 %4")
        .arg(from, plain(fileName), ShareLinks::sizeText(size), QDir::toNativeSeparators(folder));
}

QString receiveFailed(const QString &fileName, const QString &reason, const QString &folder)
{
    return QStringLiteral("ファイル「%1」を受け取れませんでした: %2 保存先 %3 の空きと書き込みの権限を"
                          "確かめてから、送った人にもう一度送ってもらってください。")
        .arg(plain(fileName), plain(reason), QDir::toNativeSeparators(folder));
}

} // namespace ShareTexts
