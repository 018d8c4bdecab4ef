#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <optional>
#include <utility>

// The header fields of a file served over HTTP and read back by a download, as pure functions so
// that the server's threads and the downloads share one reading of them.
namespace HttpFields {

// Inclusive byte positions, as in Content-Range.
struct ByteRange
{
    qint64 first = 0;
    qint64 last = -1;
    qint64 length() const { return last - first + 1; }
    friend bool operator==(const ByteRange &, const ByteRange &) = default;
};

enum class RangeKind {
    Whole,         // no Range, or one the server ignores (several ranges, another unit, garbage): 200
    Part,          // one satisfiable range: 206
    Unsatisfiable, // 416
};

struct RangeRequest
{
    RangeKind kind = RangeKind::Whole;
    ByteRange range;
};

// A Range field against a representation of `size` bytes; only a single byte range is served.
RangeRequest parseRange(QByteArrayView field, qint64 size);

// What a 206 answer says it holds: `Content-Range: bytes FIRST-LAST/LENGTH`.
struct ContentRange
{
    ByteRange range;
    qint64 length = -1; // -1 for `*`, a length the sender does not know
};
// Nothing when the field is malformed or contradicts itself (LAST before FIRST, or beyond LENGTH).
std::optional<ContentRange> parseContentRange(QByteArrayView field);

// Whether an If-Range field still names this representation: a strong ETag equal to ours, or an
// HTTP date equal to its Last-Modified (seconds since the epoch).
bool ifRangeMatches(QByteArrayView field, QByteArrayView etag, qint64 lastModifiedSeconds);

// IMF-fixdate, e.g. "Sun, 06 Nov 1994 08:49:37 GMT".
QByteArray httpDate(qint64 secondsSinceEpoch);
// The three date forms a recipient must read; seconds since the epoch.
std::optional<qint64> parseHttpDate(QByteArrayView field);

// attachment; filename="ascii fallback"; filename*=UTF-8''percent-encoded
QByteArray contentDisposition(const QString &name);
// The name a Content-Disposition value gives, filename* first; empty when there is none.
QString parseContentDisposition(const QByteArray &value);

// sha-256=:BASE64: for a 32-byte digest.
QByteArray reprDigest(const QByteArray &sha256);
// The raw 32 bytes of the sha-256 member of a Repr-Digest value; empty when there is none.
QByteArray parseReprDigest(const QByteArray &value);

// The media type by the name's extension; application/octet-stream when it tells nothing.
QByteArray contentType(const QString &name);

// The fields every answer of the server carries: nothing it sends runs scripts or is sniffed into
// something else, and no link on a page tells others the capability it was opened with.
inline constexpr std::pair<const char *, const char *> protectiveHeaders[] = {
    {"Content-Security-Policy", "default-src 'self'"},
    {"X-Content-Type-Options", "nosniff"},
    {"Referrer-Policy", "no-referrer"},
};

} // namespace HttpFields
