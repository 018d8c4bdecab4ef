#include "safefilename.h"

#include <QDir>
#include <QFileInfo>

namespace SafeFileName {

namespace {

// Longer extensions are cut with the rest of the name.
constexpr qsizetype shortExtensionBytes = 16;

bool isRefused(char16_t c)
{
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x200E || c == 0x200F || c == 0x2028 || c == 0x2029 ||
           (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069) ||
           // A byte-order mark is dropped when the name is read back from UTF-8, and
           // noncharacters are no text: either would make the name on disk another one.
           c == 0xFEFF || c == 0xFFFE || c == 0xFFFF || (c >= 0xFDD0 && c <= 0xFDEF) ||
           QStringView(u"<>:\"/\\|?*").contains(c);
}

bool isTrimmed(QChar c)
{
    return c.isSpace() || c == u'.';
}

QString trimmed(const QString &name)
{
    qsizetype begin = 0;
    qsizetype end = name.size();
    while (begin < end && isTrimmed(name[begin]))
        ++begin;
    while (end > begin && isTrimmed(name[end - 1]))
        --end;
    return name.sliced(begin, end - begin);
}

// Lone surrogates have been replaced before, so a high surrogate always starts a pair.
qsizetype utf8Bytes(QStringView text)
{
    qsizetype bytes = 0;
    for (const QChar c : text)
        bytes += c.unicode() < 0x80 ? 1 : c.unicode() < 0x800 ? 2 : c.isSurrogate() ? 2 : 3;
    return bytes;
}

// The longest start of text within budget bytes, never half a surrogate pair.
QString cutTo(const QString &text, qsizetype budget)
{
    qsizetype bytes = 0;
    qsizetype i = 0;
    while (i < text.size()) {
        const qsizetype width = text[i].isHighSurrogate() ? 2 : 1;
        const qsizetype size = utf8Bytes(QStringView(text).sliced(i, width));
        if (bytes + size > budget)
            break;
        bytes += size;
        i += width;
    }
    return text.first(i);
}

// From the last dot on; none for a dot at the start.
qsizetype extensionStart(const QString &name)
{
    const qsizetype dot = name.lastIndexOf(u'.');
    return dot > 0 ? dot : name.size();
}

// stem + middle + extension within maxBytes, shortening the stem, or the whole when the extension
// is long.
QString fitted(QString stem, const QString &middle, QString extension)
{
    if (utf8Bytes(stem) + utf8Bytes(middle) + utf8Bytes(extension) <= maxBytes)
        return stem + middle + extension;
    if (utf8Bytes(extension) > shortExtensionBytes) {
        stem += extension;
        extension.clear();
    }
    stem = cutTo(stem, maxBytes - utf8Bytes(middle) - utf8Bytes(extension));
    while (!stem.isEmpty() && isTrimmed(stem.back()))
        stem.chop(1);
    return stem + middle + extension;
}

// Windows opens the device for these, with any extension and trailing blanks.
bool isDeviceName(const QString &name)
{
    const QString stem =
        name.first(name.indexOf(u'.') < 0 ? name.size() : name.indexOf(u'.')).trimmed().toUpper();
    if (stem == u"CON" || stem == u"PRN" || stem == u"AUX" || stem == u"NUL")
        return true;
    return stem.size() == 4 && (stem.startsWith(u"COM") || stem.startsWith(u"LPT")) &&
           QStringView(u"0123456789\u00B9\u00B2\u00B3").contains(stem.back());
}

} // namespace

QString baseName(const QString &proposed, const QString &whenNothingIsLeft)
{
    const qsizetype slash = qMax(proposed.lastIndexOf(u'/'), proposed.lastIndexOf(u'\\'));
    QString name = proposed.sliced(slash + 1);
    for (qsizetype i = 0; i < name.size(); ++i) {
        const QChar c = name[i];
        if (c.isHighSurrogate() && i + 1 < name.size() && name[i + 1].isLowSurrogate())
            ++i;
        else if (c.isSurrogate() || isRefused(c.unicode()))
            name[i] = u'_';
    }
    const auto fit = [](const QString &name) {
        const qsizetype dot = extensionStart(name);
        return trimmed(fitted(name.first(dot), {}, name.sliced(dot)));
    };
    // Checked after the cut, which can leave "CON" of "CON      x".
    name = fit(trimmed(name));
    if (isDeviceName(name))
        name = fit(u'_' + name);
    return name.isEmpty() ? whenNothingIsLeft : name;
}

QString uniquePath(const QString &folder, const QString &baseName,
                   const std::function<bool(const QString &path)> &alsoTaken)
{
    const QDir dir(folder);
    const auto taken = [&alsoTaken](const QString &path) {
        const QFileInfo entry(path);
        // A dangling link is an entry too.
        return entry.exists() || entry.isSymLink() || (alsoTaken && alsoTaken(path));
    };
    const QString first = dir.filePath(baseName);
    if (!taken(first))
        return first;
    for (int number = 1; number <= maxNumber; ++number) {
        const QString path = dir.filePath(numbered(baseName, number));
        if (!taken(path))
            return path;
    }
    return {};
}

QString numbered(const QString &baseName, int number)
{
    if (number <= 0)
        return baseName;
    const qsizetype dot = extensionStart(baseName);
    return fitted(baseName.first(dot), QStringLiteral(" (%1)").arg(number), baseName.sliced(dot));
}

QString partPath(const QString &finalPath)
{
    return finalPath + QStringLiteral(".part");
}

} // namespace SafeFileName
