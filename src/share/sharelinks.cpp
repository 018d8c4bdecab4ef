#include "sharelinks.h"

#include "base/cp932.h"
#include "sharecode.h"

#include <QRegularExpression>

#include <iterator>
#include <optional>

namespace ShareLinks {

namespace {

// TAB and the line breaks would split the datagram's fields; the rest reorder or hide text.
bool breaksLine(char16_t c)
{
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029 ||
           (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

// The ASCII character a peer receives for c, or 0: best fits turn U+00AD into '-' and Ó into 'O'.
char16_t asciiOnWire(QChar c)
{
    if (c.unicode() < 0x80)
        return c.unicode();
    if (c.isSurrogate())
        return 0;
    const QByteArray bytes = Cp932::encode(QString(c));
    return bytes.size() == 1 && uchar(bytes.at(0)) < 0x80 ? char16_t(bytes.at(0)) : 0;
}

bool isAsciiAlphanumeric(QChar c)
{
    const char16_t u = c.unicode();
    return (u >= u'0' && u <= u'9') || (u >= u'a' && u <= u'z') || (u >= u'A' && u <= u'Z');
}

// RFC 3986's unreserved and reserved characters and '%'.
bool isUrlCharacter(QChar c)
{
    return isAsciiAlphanumeric(c) || QStringView(u"-._~:/?#[]@!$&'()*+,;=%").contains(c);
}

// How much of the text from `at` is an http:// or https:// prefix; 0 when none is there.
qsizetype schemeLength(QStringView text, qsizetype at)
{
    for (const QStringView scheme : {QStringView(u"http://"), QStringView(u"https://")}) {
        if (text.sliced(at).startsWith(scheme, Qt::CaseInsensitive))
            return scheme.size();
    }
    return 0;
}

// Where a link that starts at `from` ends: at the first character no URL holds, less the
// punctuation that closes the sentence around it.
qsizetype linkEnd(QStringView text, qsizetype from)
{
    qsizetype end = from;
    int opened = 0;
    int closed = 0;
    while (end < text.size() && isUrlCharacter(text[end])) {
        opened += text[end] == u'(' ? 1 : 0;
        closed += text[end] == u')' ? 1 : 0;
        ++end;
    }
    // A selected-only line's marker follows a link typed last without a blank: at the end of the
    // text, or before the TAB and time of day of a chat-log entry.
    const QStringView marker = u"-Only";
    const bool endsText = end == text.size() || text[end] == u'\t';
    if (endsText && end - from > marker.size() && text.sliced(from, end - from).endsWith(marker))
        end -= marker.size();
    while (end > from) {
        const QChar last = text[end - 1];
        if (last == u')' && closed > opened)
            --closed;
        else if (!QStringView(u".,;:!?'*").contains(last))
            break;
        --end;
    }
    return end;
}

std::optional<int> decimal(QStringView digits, int maxValue)
{
    if (digits.isEmpty() || digits.size() > 5 || (digits.size() > 1 && digits.front() == u'0'))
        return std::nullopt;
    int value = 0;
    for (const QChar c : digits) {
        if (c < u'0' || c > u'9')
            return std::nullopt;
        value = value * 10 + (c.unicode() - u'0');
    }
    if (value > maxValue)
        return std::nullopt;
    return value;
}

struct ShareParts
{
    QString host;
    quint16 port = 0;
    QString code;
};

// Only http://IPv4:PORT/f/CODE, nothing more: a path, a query or userinfo make an ordinary link.
std::optional<ShareParts> shareParts(QStringView link)
{
    const QStringView scheme = u"http://";
    if (!link.startsWith(scheme, Qt::CaseInsensitive))
        return std::nullopt;
    QStringView rest = link.sliced(scheme.size());
    const qsizetype colon = rest.indexOf(u':');
    const qsizetype slash = rest.indexOf(u'/');
    if (colon < 0 || slash < colon)
        return std::nullopt;
    const QStringView host = rest.first(colon);
    int octets = 0;
    for (const QStringView octet : host.split(u'.')) {
        if (!decimal(octet, 255) || ++octets > 4)
            return std::nullopt;
    }
    const auto port = decimal(rest.sliced(colon + 1, slash - colon - 1), 65535);
    if (octets != 4 || !port || *port == 0)
        return std::nullopt;
    const QStringView path = rest.sliced(slash);
    if (!path.startsWith(u"/f/"))
        return std::nullopt;
    QString code = ShareCode::normalized(path.sliced(3));
    if (code.isEmpty())
        return std::nullopt;
    return ShareParts{host.toString(), quint16(*port), code};
}

} // namespace

QString url(const QString &host, quint16 port, const QString &code)
{
    return QStringLiteral("http://%1:%2/f/%3").arg(host).arg(port).arg(code);
}

QString sizeText(qint64 bytes)
{
    if (bytes < 1000)
        return QString::number(qMax<qint64>(bytes, 0)) + QStringLiteral(" B");
    const quint64 value = quint64(bytes);
    constexpr QStringView names[] = {u"KB", u"MB", u"GB", u"TB", u"PB", u"EB"};
    quint64 unit = 1;
    for (std::size_t i = 0; i < std::size(names); ++i) {
        unit *= 1000;
        // Rounded to tenths before the unit is chosen: 999,999 bytes are "1.0 MB", not "1000.0 KB".
        const quint64 tenths = value / unit * 10 + (value % unit * 10 + unit / 2) / unit;
        if (tenths < 10000 || i + 1 == std::size(names))
            return QStringLiteral("%1.%2 %3").arg(tenths / 10).arg(tenths % 10).arg(names[i]);
    }
    return {};
}

QString nameInLine(const QString &fileName)
{
    QString name = fileName;
    if (name.size() > maxNameCharacters) {
        qsizetype keep = maxNameCharacters - 1;
        if (name.at(keep - 1).isHighSurrogate())
            --keep;
        name = name.first(keep) + QChar(0x2026);
    }
    for (QChar &c : name) {
        if (breaksLine(c.unicode()))
            c = u' ';
    }
    // Compared as the peers receive it; a hyphen replaced cannot form a new marker, so one pass
    // from the left also clears "--Only".
    const QStringView marker = u"-Only";
    for (qsizetype i = 0; i + marker.size() <= name.size(); ++i) {
        qsizetype matched = 0;
        while (matched < marker.size() && asciiOnWire(name.at(i + matched)) == marker[matched].unicode())
            ++matched;
        if (matched == marker.size())
            name[i] = QChar(0x2010);
    }
    return name;
}

QString lineText(const QString &fileName, qint64 size, const QString &url, ShareLifetime lifetime)
{
    return QStringLiteral("[ファイル] %1 (%2) %3 （%4有効）")
        .arg(nameInLine(fileName), sizeText(size), url, caption(lifetime));
}

QString dropPointUrl(const QString &host, quint16 port, const QString &code)
{
    return QStringLiteral("http://%1:%2/u/%3").arg(host).arg(port).arg(code);
}

QString dropPointLineText(const QString &receiverName, const QString &url, ShareLifetime lifetime)
{
    return QStringLiteral("[ファイル受付] %1へファイルを送るには %2 （%3有効）")
        .arg(nameInLine(receiverName), url, caption(lifetime));
}

QList<FoundLink> find(QStringView text)
{
    QList<FoundLink> found;
    qsizetype from = 0;
    while (found.size() < maxLinksPerLine) {
        const qsizetype at = text.indexOf(u"http", from, Qt::CaseInsensitive);
        if (at < 0)
            break;
        const qsizetype scheme = schemeLength(text, at);
        // "xhttp://" is a word that happens to contain a scheme.
        if (scheme == 0 || (at > 0 && isAsciiAlphanumeric(text[at - 1]))) {
            from = at + 4;
            continue;
        }
        const qsizetype end = linkEnd(text, at + scheme);
        from = qMax(end, at + scheme);
        const QStringView link = text.sliced(at, end - at);
        if (const auto share = shareParts(link)) {
            found.append({at, link.size(), QUrl(url(share->host, share->port, share->code)), share->code});
            continue;
        }
        const QUrl ordinary(link.toString(), QUrl::StrictMode);
        if (ordinary.isValid() && !ordinary.host().isEmpty())
            found.append({at, link.size(), ordinary, {}});
    }
    return found;
}

QString sharedName(QStringView text, const FoundLink &link)
{
    static const QRegularExpression line(QStringLiteral(R"(\[ファイル\] (.+) \([^()]*\) $)"));
    // A copy: Qt 6.4 has no matchView(), and 6.8 deprecates match() on a view.
    const QRegularExpressionMatch match = line.match(text.first(link.start).toString());
    return match.hasMatch() ? match.captured(1) : QString();
}

} // namespace ShareLinks
