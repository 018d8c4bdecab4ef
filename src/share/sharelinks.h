#pragma once

#include "sharelifetime.h"

#include <QList>
#include <QString>
#include <QStringView>
#include <QUrl>

// The chat line that hands a file over, and the links found again in received lines. The line is
// all that reaches the Windows peers, so it is plain text that survives code page 932.
namespace ShareLinks {

// At most this many links are taken from one line.
inline constexpr int maxLinksPerLine = 16;
// Names longer than this are cut in the line; the real name travels in the HTTP answer.
inline constexpr int maxNameCharacters = 80;

// http://HOST:PORT/f/CODE
QString url(const QString &host, quint16 port, const QString &code);
// Decimal units as file managers show them: "999 B", "1.0 KB", "2.4 MB".
QString sizeText(qint64 bytes);
// The name as the line may carry it: no control or direction characters, no "-Only" as it
// reaches the peers (which would make the line a selected-only one), at most 80 characters.
QString nameInLine(const QString &fileName);
// [ファイル] NAME (SIZE) URL （24時間有効）: the link is never the last thing in the text.
QString lineText(const QString &fileName, qint64 size, const QString &url, ShareLifetime lifetime);

// http://HOST:PORT/u/CODE: a drop point, which peers open in a browser or send to with curl.
QString dropPointUrl(const QString &host, quint16 port, const QString &code);
// [ファイル受付] NAMEへファイルを送るには URL （1時間有効）: the name as nameInLine makes it, and a
// blank after the link, so that the "-Only" of a selected-only line never joins it.
QString dropPointLineText(const QString &receiverName, const QString &url, ShareLifetime lifetime);

struct FoundLink
{
    qsizetype start = 0; // in the text, in UTF-16 units
    qsizetype length = 0;
    QUrl url;     // a share link's in its stored form (code in upper case)
    QString code; // the normalized code of a share link; empty for an ordinary link
};

// The http and https links of a received line, in order. Work grows linearly with the text.
QList<FoundLink> find(QStringView text);
// The file's name as the share line before the link gives it ("[ファイル] NAME (SIZE) URL"), or
// empty when the link does not follow one.
QString sharedName(QStringView text, const FoundLink &link);

} // namespace ShareLinks
