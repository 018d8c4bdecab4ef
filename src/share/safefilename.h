#pragma once

#include <QString>

#include <functional>

// Names proposed by a peer (a Content-Disposition, a chat line) made safe to create in the
// download folder: one name, no path, nothing a file manager or a Windows share refuses or shows
// misleadingly.
namespace SafeFileName {

// 255 bytes is the longest name Linux file systems take; the rest leaves room for ".part".
inline constexpr int maxBytes = 250;

// The last part of a path with control characters, direction overrides and the characters Windows
// refuses replaced by '_', no leading or trailing blanks or dots, no device name, at most
// maxBytes UTF-8 bytes; whenNothingIsLeft (taken as it is) when nothing is left.
QString baseName(const QString &proposed, const QString &whenNothingIsLeft = QStringLiteral("ダウンロード"));
// folder/baseName when no entry of that name exists and alsoTaken (if given) does not claim it,
// else the first free "name (N).ext"; an empty string when 9,999 numbers are taken as well.
QString uniquePath(const QString &folder, const QString &baseName,
                   const std::function<bool(const QString &path)> &alsoTaken = {});
// baseName for 0, else "name (N).ext", still at most maxBytes; N up to maxNumber.
QString numbered(const QString &baseName, int number);
inline constexpr int maxNumber = 9999;
// Where a download is written until it is complete.
QString partPath(const QString &finalPath);

} // namespace SafeFileName
