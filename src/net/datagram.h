#pragma once

#include <QString>
#include <QStringList>
#include <optional>

// The TAB-separated payloads of the chat channel and the presence channel.
namespace Datagram {

constexpr quint16 presencePort = 50011;
inline const QString onlyMarker = QStringLiteral("-Only");
inline const QString joinKind = QStringLiteral("1");
inline const QString leaveKind = QStringLiteral("2");

// Field 0, TAB, field 1, TAB, field 2; nothing after the last field.
QString chatLine(const QString &userName, const QString &text, const QString &localIp);
QString selectedOnlyChatLine(const QString &userName, const QString &text, const QString &localIp);
QString joinNotice(const QString &userName, const QString &localIp);
QString leaveNotice(const QString &userName, const QString &localIp);

// A TAB in typed text would split the line on every receiver and misattribute it.
QString outgoingText(const QString &typed);

struct Fields
{
    QString field0;
    QString field1;
    QString field2;
};

// Splits at every TAB; a payload with fewer than three fields has no effect at all.
std::optional<Fields> split(const QString &payload);

// The marker "-Only" first occurring at the second character or later.
bool hasOnlyMarker(const QString &text);

} // namespace Datagram
