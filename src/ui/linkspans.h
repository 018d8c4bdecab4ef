#pragma once

#include <QList>
#include <QString>
#include <QStringView>
#include <QUrl>

// The links in a chat line as the log shows and opens them. Stands for the share texts' link finder
// until the two meet; the rules are the same: http and https only, a link ends at a blank, a TAB,
// a full-width character or the "-Only" that a selected-only line carries, and a link whose path is
// /f/ and a share code is a share link.
namespace LinkSpans {

struct Span
{
    qsizetype start = 0;
    qsizetype length = 0;
    QUrl url;
    QString code; // the share code, normalized; empty for an ordinary link
};

QList<Span> find(QStringView text);

// The file's name as a share line gives it ("[ファイル] NAME (SIZE) URL"), or empty.
QString sharedName(QStringView text, const Span &link);

} // namespace LinkSpans
