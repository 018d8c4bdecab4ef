#include "downloadfields.h"

#include <QFileInfo>
#include <QRegularExpression>

namespace {

// Splits header parameters on ';' outside quoted strings.
QList<QByteArray> parameters(const QByteArray &value)
{
    QList<QByteArray> parts;
    QByteArray current;
    bool quoted = false;
    for (qsizetype i = 0; i < value.size(); ++i) {
        const char c = value.at(i);
        if (quoted && c == '\\' && i + 1 < value.size()) {
            current += c;
            current += value.at(++i);
            continue;
        }
        if (c == '"')
            quoted = !quoted;
        if (c == ';' && !quoted) {
            parts.append(current.trimmed());
            current.clear();
        } else {
            current += c;
        }
    }
    parts.append(current.trimmed());
    return parts;
}

QByteArray unquoted(const QByteArray &value)
{
    if (value.size() < 2 || !value.startsWith('"') || !value.endsWith('"'))
        return value;
    QByteArray out;
    for (qsizetype i = 1; i + 1 < value.size(); ++i) {
        if (value.at(i) == '\\' && i + 2 < value.size())
            ++i;
        out += value.at(i);
    }
    return out;
}

QString extendedValue(const QByteArray &value)
{
    // charset'language'percent-encoded
    const qsizetype first = value.indexOf('\'');
    const qsizetype second = first < 0 ? -1 : value.indexOf('\'', first + 1);
    if (second < 0)
        return {};
    const QByteArray charset = value.left(first).toLower();
    const QByteArray bytes = QByteArray::fromPercentEncoding(value.mid(second + 1));
    if (charset == "utf-8")
        return QString::fromUtf8(bytes);
    if (charset == "iso-8859-1")
        return QString::fromLatin1(bytes);
    return {};
}

} // namespace

namespace DownloadFields {

QString fileName(const QByteArray &contentDisposition)
{
    QString plain;
    QString extended;
    for (const QByteArray &parameter : parameters(contentDisposition)) {
        const qsizetype equals = parameter.indexOf('=');
        if (equals < 0)
            continue;
        const QByteArray key = parameter.left(equals).trimmed().toLower();
        const QByteArray value = parameter.mid(equals + 1).trimmed();
        if (key == "filename*")
            extended = extendedValue(value);
        else if (key == "filename")
            plain = QString::fromUtf8(unquoted(value));
    }
    return plainFileName(extended.isEmpty() ? plain : extended);
}

QByteArray sha256(const QByteArray &reprDigest)
{
    for (const QByteArray &member : reprDigest.split(',')) {
        const QByteArray item = member.trimmed();
        const qsizetype equals = item.indexOf('=');
        if (equals < 0 || item.left(equals).trimmed().toLower() != "sha-256")
            continue;
        QByteArray value = item.mid(equals + 1).trimmed();
        // Structured-field parameters may follow the byte sequence.
        const qsizetype semicolon = value.indexOf(';');
        if (semicolon >= 0)
            value = value.left(semicolon).trimmed();
        if (value.size() < 2 || !value.startsWith(':') || !value.endsWith(':'))
            return {};
        const auto decoded = QByteArray::fromBase64Encoding(value.mid(1, value.size() - 2),
                                                            QByteArray::AbortOnBase64DecodingErrors);
        if (!decoded || decoded.decoded.size() != 32)
            return {};
        return decoded.decoded;
    }
    return {};
}

std::optional<ContentRange> contentRange(const QByteArray &value)
{
    static const QRegularExpression pattern(QStringLiteral(R"(^\s*bytes\s+(\d+)-(\d+)/(\d+|\*)\s*$)"),
                                            QRegularExpression::CaseInsensitiveOption);
    const auto match = pattern.match(QString::fromLatin1(value));
    if (!match.hasMatch())
        return std::nullopt;
    ContentRange range;
    bool ok = false;
    range.first = match.captured(1).toLongLong(&ok);
    if (!ok)
        return std::nullopt;
    range.last = match.captured(2).toLongLong(&ok);
    if (!ok || range.last < range.first)
        return std::nullopt;
    if (match.captured(3) != QLatin1String("*")) {
        range.length = match.captured(3).toLongLong(&ok);
        if (!ok || range.length <= range.last)
            return std::nullopt;
    }
    return range;
}

QString nameFromUrl(const QUrl &url)
{
    return plainFileName(url.fileName(QUrl::FullyDecoded));
}

QString numberedPath(const QString &path, int n)
{
    const QFileInfo info(path);
    const QString name = info.fileName();
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    const QString stem = dot > 0 ? name.left(dot) : name;
    const QString extension = dot > 0 ? name.mid(dot) : QString();
    const QString numbered = QStringLiteral("%1 (%2)%3").arg(stem).arg(n).arg(extension);
    return info.path() == QLatin1String(".") && !path.startsWith(QLatin1String("./"))
               ? numbered
               : info.path() + QLatin1Char('/') + numbered;
}

QString plainFileName(const QString &name)
{
    QString out = name;
    const qsizetype slash = std::max(out.lastIndexOf(QLatin1Char('/')), out.lastIndexOf(QLatin1Char('\\')));
    if (slash >= 0)
        out = out.mid(slash + 1);
    for (QChar &c : out) {
        if (c.category() == QChar::Other_Control)
            c = QLatin1Char(' ');
    }
    out = out.trimmed();
    if (out == QLatin1String(".") || out == QLatin1String(".."))
        return {};
    return out;
}

} // namespace DownloadFields
