#include "linkspans.h"

#include "share/sharecode.h"

#include <QRegularExpression>

namespace LinkSpans {

namespace {

bool endsLink(QChar c)
{
    // Full-width brackets and blanks follow a link in Japanese text without a space.
    return c.isSpace() || c.category() == QChar::Other_Control || c.unicode() >= 0x3000 || c == u'<' ||
           c == u'>' || c == u'"';
}

QString shareCodeOf(const QUrl &url)
{
    const QString path = url.path();
    if (!path.startsWith(QStringLiteral("/f/")) || url.hasQuery() || url.hasFragment())
        return {};
    return ShareCode::normalized(QStringView(path).mid(3));
}

} // namespace

QList<Span> find(QStringView text)
{
    static const QStringView only = u"-Only";
    QList<Span> spans;
    qsizetype from = 0;
    while (from < text.size()) {
        qsizetype http = text.indexOf(u"http://", from, Qt::CaseInsensitive);
        const qsizetype https = text.indexOf(u"https://", from, Qt::CaseInsensitive);
        if (http < 0 || (https >= 0 && https < http))
            http = https;
        if (http < 0)
            break;
        qsizetype end = http;
        while (end < text.size() && !endsLink(text[end]))
            ++end;
        qsizetype length = end - http;
        // The selected-only mark is the line's, not the link's.
        if (text.mid(http, length).endsWith(only))
            length -= only.size();
        // Sentence punctuation after a link is not part of it.
        while (length > 0 && QStringView(u".,;:!?)]'").contains(text[http + length - 1]))
            --length;
        const QUrl url(text.mid(http, length).toString(), QUrl::StrictMode);
        if (url.isValid() && !url.host().isEmpty())
            spans.append({http, length, url, shareCodeOf(url)});
        from = std::max(end, http + 1);
    }
    return spans;
}

QString sharedName(QStringView text, const Span &link)
{
    static const QRegularExpression line(QStringLiteral(R"(\[ファイル\] (.+) \([^()]*\) $)"));
    const QRegularExpressionMatch match = line.match(text.first(link.start));
    return match.hasMatch() ? match.captured(1) : QString();
}

} // namespace LinkSpans
