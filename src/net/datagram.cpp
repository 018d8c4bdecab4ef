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
    const QStringList pieces = payload.split(QLatin1Char('\t'));
    if (pieces.size() < 3)
        return std::nullopt;
    return Fields{pieces.at(0), pieces.at(1), pieces.at(2)};
}

bool hasOnlyMarker(const QString &text)
{
    return text.indexOf(onlyMarker) >= 1;
}

} // namespace Datagram
