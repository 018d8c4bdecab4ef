#include "cp932.h"

#include "cp932bestfit.h"

#include <QStringDecoder>
#include <QStringEncoder>
#include <algorithm>

namespace {

constexpr const char *codecName = "windows-31j";

// ICU's table rotates these three control codes against Windows, which maps every byte below 80 to
// the code point of the same number. They are converted here and never reach the converter; none of
// them is a trail byte, so they always stand for themselves.
bool isRotatedControl(char16_t code)
{
    return code == 0x1A || code == 0x1C || code == 0x7F;
}

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

// What Windows writes for a character code page 932 lacks; empty when it writes "?".
QByteArray bestFit(char16_t character)
{
    const std::span<const Cp932::BestFit> table = Cp932::bestFits();
    const auto found = std::lower_bound(
        table.begin(), table.end(), character,
        [](const Cp932::BestFit &entry, char16_t wanted) { return entry.character < wanted; });
    if (found == table.end() || found->character != character)
        return {};
    QByteArray bytes;
    if (found->bytes >= 0x100)
        bytes.append(char(found->bytes >> 8));
    bytes.append(char(found->bytes & 0xFF));
    return bytes;
}

// A run of text without the rotated control codes and the best-fit characters.
QByteArray encodeRun(QStringView run)
{
    QStringEncoder encoder(codecName, QStringConverter::Flag::Stateless);
    const QByteArray bytes = encoder.encode(run);
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
    if (!run.isEmpty() && run.back().isHighSurrogate())
        replaced.append('?');
    return replaced;
}

// The error flag is set when a byte was not part of a character of the code page.
QString decodeChecked(const QByteArray &bytes, bool &error)
{
    // The converter turns 7F into U+001A, 1A into U+001C and 1C into U+007F: handing it the byte
    // that it turns into the wanted code point undoes the rotation. None of them is a trail byte,
    // so a lead byte before one stays as invalid as it was.
    QByteArray rotated = bytes;
    for (char &byte : rotated) {
        switch (byte) {
        case 0x1A: byte = 0x7F; break;
        case 0x1C: byte = 0x1A; break;
        case 0x7F: byte = 0x1C; break;
        default: break;
        }
    }
    QStringDecoder decoder(codecName, QStringConverter::Flag::Stateless);
    QString text = decoder.decode(rotated);
    error = decoder.hasError();
    return text;
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
    QByteArray bytes;
    qsizetype start = 0;
    for (qsizetype i = 0; i < mapped.size(); ++i) {
        const char16_t code = mapped.at(i).unicode();
        // Windows writes a best fit for a character the code page lacks, "?" only when its table has
        // none. The forms mapped above come first.
        const QByteArray special = isRotatedControl(code) ? QByteArray(1, char(code)) : bestFit(code);
        if (special.isEmpty())
            continue;
        bytes += encodeRun(QStringView(mapped).sliced(start, i - start));
        bytes += special;
        start = i + 1;
    }
    bytes += encodeRun(QStringView(mapped).sliced(start));
    return bytes;
}

QString decode(const QByteArray &bytes)
{
    bool error = false;
    return decodeChecked(bytes, error);
}

std::optional<QString> decodeExactly(const QByteArray &bytes)
{
    bool error = false;
    QString text = decodeChecked(bytes, error);
    if (error)
        return std::nullopt;
    return text;
}

} // namespace Cp932
