#pragma once

#include <QByteArray>
#include <QString>
#include <QUrl>
#include <optional>

// The few pieces of HTTP and file naming a download needs, kept free of any network object so
// they can be checked on plain values.
namespace DownloadFields {

// The file name of a Content-Disposition value: filename* (RFC 5987, UTF-8 or ISO-8859-1) first,
// then filename. Only the last path component is kept; empty when there is none.
QString fileName(const QByteArray &contentDisposition);

// The 32-byte SHA-256 of a Repr-Digest value (`sha-256=:BASE64:`, RFC 9530); empty when the value
// has none or it is malformed.
QByteArray sha256(const QByteArray &reprDigest);

// The first byte and the full length of `Content-Range: bytes FIRST-LAST/LENGTH`; the length is -1
// when it is `*`. Nothing when the value cannot be read.
struct ContentRange
{
    qint64 first = 0;
    qint64 last = 0;
    qint64 length = -1;
};
std::optional<ContentRange> contentRange(const QByteArray &value);

// A name for a file that may hold the name proposed to the user: the last segment of the URL's
// path, or the given fallback.
QString nameFromUrl(const QUrl &url);

// `name (n).ext` for the n-th alternative of a path (n >= 1); the extension is what follows the
// last dot of the file name, unless the name starts with it.
QString numberedPath(const QString &path, int n);

// Reduces a name from a peer to something that can only name a file in the chosen folder: no
// folders, no control characters, not "." or "..".
QString plainFileName(const QString &name);

} // namespace DownloadFields
