#include "cp932.h"

#include <QStringDecoder>
#include <QStringEncoder>

namespace {

constexpr const char *codecName = "windows-31j";

// Linux fonts and input methods use these; Windows peers expect the code page 932 forms.
QChar windowsForm(QChar c)
{
    switch (c.unicode()) {
    case 0x301C: return QChar(0xFF5E); // WAVE DASH -> FULLWIDTH TILDE
    case 0x2212: return QChar(0xFF0D); // MINUS SIGN -> FULLWIDTH HYPHEN-MINUS
    case 0x00AC: return QChar(0xFFE2); // NOT SIGN -> FULLWIDTH NOT SIGN
    case 0x2016: return QChar(0x2225); // DOUBLE VERTICAL LINE -> PARALLEL TO
    case 0x2014: return QChar(0x2015); // EM DASH -> HORIZONTAL BAR
    case 0x00A2: return QChar(0xFFE0); // CENT SIGN -> FULLWIDTH CENT SIGN
    case 0x00A3: return QChar(0xFFE1); // POUND SIGN -> FULLWIDTH POUND SIGN
    default: return c;
    }
}

} // namespace

namespace Cp932 {

QString windowsForms(const QString &text)
{
    QString mapped = text;
    for (QChar &c : mapped)
        c = windowsForm(c);
    return mapped;
}

bool canEncode(const QString &text)
{
    QStringEncoder encoder(codecName, QStringConverter::Flag::Stateless);
    // encode() converts only when its result is taken.
    [[maybe_unused]] const QByteArray bytes = encoder.encode(windowsForms(text));
    return !encoder.hasError();
}

QByteArray encode(const QString &text)
{
    const QString mapped = windowsForms(text);

    QStringEncoder encoder(codecName, QStringConverter::Flag::Stateless);
    const QByteArray bytes = encoder.encode(mapped);
    if (!encoder.hasError())
        return bytes;

    // The converter writes FC FC, a code the code page leaves unassigned, for each character it
    // cannot hold; a lone high surrogate at the very end it drops. Windows peers expect "?".
    QByteArray replaced;
    replaced.reserve(bytes.size());
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        const auto byte = uchar(bytes.at(i));
        const bool leadByte = (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
        if (!leadByte || i + 1 >= bytes.size()) {
            replaced.append(char(byte));
            continue;
        }
        if (byte == 0xFC && uchar(bytes.at(i + 1)) == 0xFC)
            replaced.append('?');
        else
            replaced.append(bytes.constData() + i, 2);
        ++i;
    }
    if (!mapped.isEmpty() && mapped.back().isHighSurrogate())
        replaced.append('?');
    return replaced;
}

QString decode(const QByteArray &bytes)
{
    QStringDecoder decoder(codecName, QStringConverter::Flag::Stateless);
    return decoder.decode(bytes);
}

std::optional<QString> decodeExactly(const QByteArray &bytes)
{
    QStringDecoder decoder(codecName, QStringConverter::Flag::Stateless);
    QString text = decoder.decode(bytes);
    if (decoder.hasError())
        return std::nullopt;
    return text;
}

} // namespace Cp932
