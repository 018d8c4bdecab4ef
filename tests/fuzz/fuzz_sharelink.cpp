// Arbitrary text as a received chat line, a file name to share and a name proposed for saving.
// Links found lie inside the line, in order, and a share link's code is one the server reads; the
// line made for any name keeps its link findable and never looks selected-only to a peer; a safe
// name is one name within the byte limit, and making it safe again changes nothing.
#include "fuzzsupport.h"

#include "base/cp932.h"
#include "share/safefilename.h"
#include "share/sharecode.h"
#include "share/sharelinks.h"

#include <cstdint>

namespace {

void checkFound(const QString &text)
{
    const auto links = ShareLinks::find(text);
    FUZZ_CHECK(links.size() <= ShareLinks::maxLinksPerLine);
    qsizetype previousEnd = 0;
    for (const auto &link : links) {
        FUZZ_CHECK(link.start >= previousEnd && link.length > 0 && link.start + link.length <= text.size(),
                   "link at %lld+%lld in [%s]", qlonglong(link.start), qlonglong(link.length),
                   fuzzShow(text).constData());
        previousEnd = link.start + link.length;
        const QString linkText = text.mid(link.start, link.length);
        FUZZ_CHECK(linkText.startsWith(QStringLiteral("http"), Qt::CaseInsensitive));
        for (const QChar c : linkText)
            FUZZ_CHECK(c.unicode() > 0x20 && c.unicode() < 0x7F, "[%s]", fuzzShow(linkText).constData());
        FUZZ_CHECK(link.url.isValid() && !link.url.host().isEmpty(), "[%s]", fuzzShow(linkText).constData());
        if (link.code.isEmpty())
            continue;
        FUZZ_CHECK(ShareCode::normalized(link.code) == link.code);
        FUZZ_CHECK(link.url.scheme() == QStringLiteral("http") &&
                       link.url.path() == QStringLiteral("/f/") + link.code,
                   "[%s] -> [%s]", fuzzShow(linkText).constData(), fuzzShow(link.url.toString()).constData());
        const auto again = ShareLinks::find(linkText);
        FUZZ_CHECK(again.size() == 1 && again[0].code == link.code && again[0].url == link.url, "[%s]",
                   fuzzShow(linkText).constData());
    }
}

void checkLine(const QString &name)
{
    const QString url = QStringLiteral("http://198.18.0.11:50012/f/K7QXM2PDA9");
    const QString received =
        Cp932::decode(Cp932::encode(ShareLinks::lineText(name, 2400000, url, ShareLifetime::OneDay)));
    FUZZ_CHECK(!received.contains(QStringLiteral("-Only")), "[%s]", fuzzShow(received).constData());
    FUZZ_CHECK(!received.contains(QLatin1Char('\t')) && !received.contains(QLatin1Char('\n')));
    for (const QString &line : {received, received + QStringLiteral("-Only")}) {
        const auto links = ShareLinks::find(line);
        FUZZ_CHECK(!links.isEmpty() && links.back().code == QStringLiteral("K7QXM2PDA9") &&
                       line.mid(links.back().start, links.back().length) == url,
                   "[%s]", fuzzShow(line).constData());
    }
}

void checkSafeName(const QString &proposed)
{
    const QString name = SafeFileName::baseName(proposed);
    const QString shown = QString::fromLatin1(fuzzShow(name));
    FUZZ_CHECK(!name.isEmpty() && name != QStringLiteral(".") && name != QStringLiteral(".."));
    FUZZ_CHECK(name.toUtf8().size() <= SafeFileName::maxBytes, "%s", qPrintable(shown));
    FUZZ_CHECK(QString::fromUtf8(name.toUtf8()) == name, "half a surrogate pair: %s", qPrintable(shown));
    for (const QChar c : name)
        FUZZ_CHECK(c.unicode() >= 0x20 && c != u'/' && c != u'\\' && c != u':', "%s", qPrintable(shown));
    FUZZ_CHECK(!name.front().isSpace() && !name.back().isSpace() && name.back() != u'.', "%s",
               qPrintable(shown));
    FUZZ_CHECK(SafeFileName::baseName(name) == name, "not stable: %s", qPrintable(shown));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const QByteArray bytes(reinterpret_cast<const char *>(data + 1), qsizetype(size - 1));
    // UTF-16 as it stands reaches lone surrogates, which UTF-8 decoding never produces.
    const QString text = data[0] & 1
                             ? QString::fromUtf8(bytes)
                             : QString(reinterpret_cast<const QChar *>(bytes.constData()), bytes.size() / 2);
    checkFound(text);
    checkLine(text);
    checkSafeName(text);
    return 0;
}
