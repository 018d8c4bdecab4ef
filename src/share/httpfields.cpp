#include "httpfields.h"

#include <QDateTime>
#include <QLocale>
#include <QMimeDatabase>
#include <QStringDecoder>
#include <QTimeZone>
#include <limits>

namespace HttpFields {

namespace {

bool isDigits(QByteArrayView text)
{
    if (text.isEmpty())
        return false;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return false;
    }
    return true;
}

// Decimal digits saturated at the largest qint64: a position beyond any file is still a position.
qint64 saturatedNumber(QByteArrayView digits)
{
    qint64 value = 0;
    for (const char c : digits) {
        const int digit = c - '0';
        if (value > (std::numeric_limits<qint64>::max() - digit) / 10)
            return std::numeric_limits<qint64>::max();
        value = value * 10 + digit;
    }
    return value;
}

QByteArrayView trimmed(QByteArrayView text)
{
    while (!text.isEmpty() && (text.front() == ' ' || text.front() == '\t'))
        text = text.sliced(1);
    while (!text.isEmpty() && (text.back() == ' ' || text.back() == '\t'))
        text.chop(1);
    return text;
}

// attr-char of RFC 5987 besides letters and digits.
constexpr char attrCharPunctuation[] = "!#$&+-.^_`|~";

} // namespace

RangeRequest parseRange(QByteArrayView field, qint64 size)
{
    const QByteArrayView value = trimmed(field);
    const qsizetype equals = value.indexOf('=');
    if (equals < 0 || trimmed(value.first(equals)).compare("bytes", Qt::CaseInsensitive) != 0)
        return {};
    const QByteArrayView bounds = trimmed(value.sliced(equals + 1));
    // Several ranges are allowed to be answered with the whole representation (RFC 9110 14.2).
    if (bounds.contains(','))
        return {};
    const qsizetype dash = bounds.indexOf('-');
    if (dash < 0)
        return {};
    const QByteArrayView firstText = bounds.first(dash);
    const QByteArrayView lastText = bounds.sliced(dash + 1);
    if (firstText.isEmpty()) {
        if (!isDigits(lastText))
            return {};
        const qint64 suffix = saturatedNumber(lastText);
        if (suffix == 0 || size == 0)
            return {RangeKind::Unsatisfiable, {}};
        return {RangeKind::Part, {qMax<qint64>(0, size - suffix), size - 1}};
    }
    if (!isDigits(firstText) || (!lastText.isEmpty() && !isDigits(lastText)))
        return {};
    const qint64 first = saturatedNumber(firstText);
    const qint64 last = lastText.isEmpty() ? std::numeric_limits<qint64>::max() : saturatedNumber(lastText);
    if (last < first)
        return {};
    if (first >= size)
        return {RangeKind::Unsatisfiable, {}};
    return {RangeKind::Part, {first, qMin(last, size - 1)}};
}

std::optional<ContentRange> parseContentRange(QByteArrayView field)
{
    QByteArrayView value = trimmed(field);
    const QByteArrayView unit = "bytes";
    if (value.size() <= unit.size() || value.first(unit.size()).compare(unit, Qt::CaseInsensitive) != 0 ||
        (value[unit.size()] != ' ' && value[unit.size()] != '\t'))
        return std::nullopt;
    value = trimmed(value.sliced(unit.size()));
    const qsizetype dash = value.indexOf('-');
    const qsizetype slash = value.indexOf('/');
    if (dash < 0 || slash < dash)
        return std::nullopt;
    // Unlike a Range, a number too large for a file is an error here, not a position.
    const auto number = [](QByteArrayView digits) -> std::optional<qint64> {
        bool ok = false;
        const qint64 n = isDigits(digits) ? digits.toLongLong(&ok) : 0;
        return ok ? std::optional<qint64>(n) : std::nullopt;
    };
    const auto first = number(value.first(dash));
    const auto last = number(value.sliced(dash + 1, slash - dash - 1));
    const QByteArrayView lengthText = value.sliced(slash + 1);
    const auto length = lengthText == "*" ? std::optional<qint64>(-1) : number(lengthText);
    if (!first || !last || !length || *last < *first || (*length >= 0 && *length <= *last))
        return std::nullopt;
    return ContentRange{{*first, *last}, *length};
}

bool ifRangeMatches(QByteArrayView field, QByteArrayView etag, qint64 lastModifiedSeconds)
{
    const QByteArrayView value = trimmed(field);
    if (value.startsWith("W/"))
        return false; // a weak tag never validates a range
    if (value.startsWith('"'))
        return value == etag;
    const auto date = parseHttpDate(value);
    return date && *date == lastModifiedSeconds;
}

QByteArray httpDate(qint64 secondsSinceEpoch)
{
    const QDateTime time = QDateTime::fromSecsSinceEpoch(secondsSinceEpoch, QTimeZone::utc());
    return QLocale::c().toString(time, QStringLiteral("ddd, dd MMM yyyy HH:mm:ss 'GMT'")).toLatin1();
}

std::optional<qint64> parseHttpDate(QByteArrayView field)
{
    QString text = QString::fromLatin1(trimmed(field)).simplified();
    // The zone is parsed, not set afterwards: read as local time, an hour that daylight saving
    // skips is invalid (Qt 6.4) or moved by an hour (6.8). asctime() names none; it is GMT.
    if (!text.endsWith(QLatin1String(" GMT")))
        text += QLatin1String(" GMT");
    const QLocale c = QLocale::c();
    // IMF-fixdate, the obsolete RFC 850 form and asctime().
    for (const auto &format :
         {QStringLiteral("ddd, dd MMM yyyy HH:mm:ss t"), QStringLiteral("dddd, dd-MMM-yy HH:mm:ss t"),
          QStringLiteral("ddd MMM d HH:mm:ss yyyy t")}) {
        QDateTime time = c.toDateTime(text, format);
        if (!time.isValid())
            continue;
        // Two-digit years: the one nearest to now is no more than 50 years ahead (RFC 9110 5.6.7).
        if (format.contains(QLatin1String("yy HH")) && time.date().year() < 1970)
            time = time.addYears(100);
        return time.toSecsSinceEpoch();
    }
    return std::nullopt;
}

QByteArray contentDisposition(const QString &name)
{
    QByteArray fallback;
    for (const char32_t codePoint : name.toUcs4()) {
        // Quotes and backslashes would need escaping that some clients get wrong, and '%' is
        // decoded by some browsers: they become '_' like everything outside printable ASCII.
        const bool keep = codePoint >= 0x20 && codePoint < 0x7f && codePoint != '"' && codePoint != '\\' &&
                          codePoint != '%';
        fallback += keep ? char(codePoint) : '_';
    }
    if (fallback.isEmpty())
        fallback = "download";
    return "attachment; filename=\"" + fallback + "\"; filename*=UTF-8''" +
           name.toUtf8().toPercentEncoding(attrCharPunctuation);
}

QString parseContentDisposition(const QByteArray &value)
{
    QString plain;
    QString extended;
    qsizetype at = value.indexOf(';');
    while (at >= 0 && at < value.size()) {
        ++at;
        while (at < value.size() && (value[at] == ' ' || value[at] == '\t'))
            ++at;
        const qsizetype equals = value.indexOf('=', at);
        if (equals < 0)
            break;
        const QByteArray key = value.mid(at, equals - at).trimmed().toLower();
        at = equals + 1;
        QByteArray parameter;
        if (at < value.size() && value[at] == '"') {
            for (++at; at < value.size() && value[at] != '"'; ++at) {
                if (value[at] == '\\' && at + 1 < value.size())
                    ++at;
                parameter += value[at];
            }
            at = value.indexOf(';', at);
        } else {
            const qsizetype end = value.indexOf(';', at);
            parameter = value.mid(at, end < 0 ? -1 : end - at).trimmed();
            at = end;
        }
        if (key == "filename") {
            plain = QString::fromUtf8(parameter);
        } else if (key == "filename*") {
            const qsizetype quote = parameter.indexOf('\'');
            const qsizetype secondQuote = quote < 0 ? -1 : parameter.indexOf('\'', quote + 1);
            if (secondQuote < 0)
                continue;
            const QByteArray charset = parameter.first(quote).toLower();
            const QByteArray bytes = QByteArray::fromPercentEncoding(parameter.sliced(secondQuote + 1));
            if (charset == "utf-8") {
                QStringDecoder decoder(QStringDecoder::Utf8);
                const QString text = decoder(bytes);
                if (!decoder.hasError())
                    extended = text;
            } else if (charset == "iso-8859-1") {
                extended = QString::fromLatin1(bytes);
            }
        }
    }
    return extended.isEmpty() ? plain : extended;
}

QByteArray reprDigest(const QByteArray &sha256)
{
    return "sha-256=:" + sha256.toBase64() + ':';
}

QByteArray parseReprDigest(const QByteArray &value)
{
    for (const QByteArray &member : value.split(',')) {
        const qsizetype equals = member.indexOf('=');
        if (equals < 0 || member.first(equals).trimmed().toLower() != "sha-256")
            continue;
        const QByteArray item = member.sliced(equals + 1).trimmed();
        if (item.size() < 2 || !item.startsWith(':') || !item.endsWith(':'))
            return {};
        const auto decoded = QByteArray::fromBase64Encoding(item.sliced(1, item.size() - 2),
                                                            QByteArray::AbortOnBase64DecodingErrors);
        if (!decoded || decoded.decoded.size() != 32)
            return {};
        return decoded.decoded;
    }
    return {};
}

QByteArray contentType(const QString &name)
{
    const QMimeType type = QMimeDatabase().mimeTypeForFile(name, QMimeDatabase::MatchExtension);
    if (!type.isValid() || type.isDefault())
        return "application/octet-stream";
    return type.name().toLatin1();
}

} // namespace HttpFields
