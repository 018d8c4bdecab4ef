#include "uploadpage.h"

#include <QFile>
#include <QList>
#include <utility>

namespace UploadPage {

namespace {

QByteArray resource(const QString &name)
{
    QFile file(QStringLiteral(":/uploadpage/") + name);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

bool prefersEnglish(QByteArrayView acceptLanguage)
{
    // The highest weight each language is given; the one named first wins a tie.
    double english = -1;
    double japanese = -1;
    int englishAt = -1;
    int japaneseAt = -1;
    int position = 0;
    for (const QByteArray &item : acceptLanguage.toByteArray().split(',')) {
        const QList<QByteArray> parts = item.split(';');
        const QByteArray tag = parts.value(0).trimmed().toLower();
        const QByteArray primary = tag.left(tag.indexOf('-') < 0 ? tag.size() : tag.indexOf('-'));
        double weight = 1;
        for (qsizetype i = 1; i < parts.size(); ++i) {
            const QByteArray parameter = parts[i].trimmed();
            if (parameter.startsWith("q=")) {
                bool ok = false;
                weight = parameter.mid(2).toDouble(&ok);
                if (!ok)
                    weight = 0;
            }
        }
        if (primary == "en" && weight > english) {
            english = weight;
            englishAt = englishAt < 0 ? position : englishAt;
        } else if (primary == "ja" && weight > japanese) {
            japanese = weight;
            japaneseAt = japaneseAt < 0 ? position : japaneseAt;
        }
        ++position;
    }
    if (english <= 0)
        return false;
    return english > japanese || (english == japanese && englishAt < japaneseAt);
}

QString timeLeft(qint64 leftMs, bool english)
{
    const qint64 minutes = qMax<qint64>(1, (leftMs + 59'999) / 60'000);
    const qint64 hours = minutes / 60;
    const qint64 rest = minutes % 60;
    if (english) {
        if (hours == 0)
            return QStringLiteral("%1 min left").arg(minutes);
        return rest == 0 ? QStringLiteral("%1 h left").arg(hours)
                         : QStringLiteral("%1 h %2 min left").arg(hours).arg(rest);
    }
    if (hours == 0)
        return QStringLiteral("あと %1 分").arg(minutes);
    return rest == 0 ? QStringLiteral("あと %1 時間").arg(hours)
                     : QStringLiteral("あと %1 時間 %2 分").arg(hours).arg(rest);
}

QByteArray html(const DropPointEntry &entry, qint64 nowMs, QByteArrayView acceptLanguage)
{
    const bool english = prefersEnglish(acceptLanguage);
    const QString name = entry.receiverName.toHtmlEscaped();
    const QString left = entry.expiresMs == 0
                             ? (english ? QStringLiteral("Open until the receiver's program ends.")
                                        : QStringLiteral("受け取る人がプログラムを終えるまで使えます。"))
                             : timeLeft(entry.expiresMs - nowMs, english);
    const QList<std::pair<QString, QString>> fields{
        {QStringLiteral("lang"), english ? QStringLiteral("en") : QStringLiteral("ja")},
        {QStringLiteral("base"), QStringLiteral("/u/") + entry.code},
        {QStringLiteral("title"), english ? QStringLiteral("Send files to %1").arg(name)
                                          : QStringLiteral("%1 へファイルを送る").arg(name)},
        {QStringLiteral("left"), left},
        {QStringLiteral("choose"),
         english ? QStringLiteral("Files to send") : QStringLiteral("送るファイル")},
        {QStringLiteral("drop"), english ? QStringLiteral("Or drop files anywhere on this page.")
                                         : QStringLiteral("このページにファイルをドロップしても送れます。")},
        {QStringLiteral("send"), english ? QStringLiteral("Send") : QStringLiteral("送る")},
        {QStringLiteral("list"), english ? QStringLiteral("Files sent") : QStringLiteral("送ったファイル")},
    };
    // One pass, so that a name holding "{{...}}" stays as it is.
    const QString page = QString::fromUtf8(resource(QStringLiteral("page.html")));
    QString filled;
    qsizetype from = 0;
    for (qsizetype open = page.indexOf(u"{{"); open >= 0; open = page.indexOf(u"{{", from)) {
        const qsizetype close = page.indexOf(u"}}", open);
        if (close < 0)
            break;
        filled += QStringView(page).sliced(from, open - from);
        const QString key = page.sliced(open + 2, close - open - 2);
        for (const auto &[name, value] : fields) {
            if (name == key)
                filled += value;
        }
        from = close + 2;
    }
    filled += QStringView(page).sliced(from);
    return filled.toUtf8();
}

std::optional<Asset> asset(QByteArrayView name)
{
    if (name == "page.js")
        return Asset{"text/javascript; charset=utf-8", resource(QStringLiteral("page.js"))};
    if (name == "page.css")
        return Asset{"text/css; charset=utf-8", resource(QStringLiteral("page.css"))};
    return std::nullopt;
}

} // namespace UploadPage
