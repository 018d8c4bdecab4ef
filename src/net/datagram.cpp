#include "datagram.h"

namespace {

QString join3(const QString &a, const QString &b, const QString &c)
{
    return a + QLatin1Char('\t') + b + QLatin1Char('\t') + c;
}

} // namespace

namespace Datagram {

QString chatLine(const QString &userName, const QString &text, const QString &localIp)
{
    return join3(userName, text, localIp);
}

QString selectedOnlyChatLine(const QString &userName, const QString &text, const QString &localIp)
{
    return join3(userName, text + onlyMarker, localIp);
}

QString joinNotice(const QString &userName, const QString &localIp)
{
    return join3(joinKind, userName, localIp);
}

QString leaveNotice(const QString &userName, const QString &localIp)
{
    return join3(leaveKind, userName, localIp);
}

QString outgoingText(const QString &typed)
{
    QString text = typed;
    text.replace(QLatin1Char('\t'), QLatin1Char(' '));
    return text;
}

std::optional<Fields> split(const QString &payload)
{
    // Only the first three fields count; a datagram of 60,000 TABs must not make 60,000 pieces.
    const QChar tab = QLatin1Char('\t');
    const qsizetype first = payload.indexOf(tab);
    const qsizetype second = first < 0 ? -1 : payload.indexOf(tab, first + 1);
    if (second < 0)
        return std::nullopt;
    const qsizetype third = payload.indexOf(tab, second + 1);
    return Fields{payload.left(first), payload.mid(first + 1, second - first - 1),
                  third < 0 ? payload.mid(second + 1) : payload.mid(second + 1, third - second - 1)};
}

bool hasOnlyMarker(const QString &text)
{
    return text.indexOf(onlyMarker) >= 1;
}

} // namespace Datagram
