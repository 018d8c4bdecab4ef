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

QByteArray encode(const QString &text)
{
    QString mapped = text;
    for (QChar &c : mapped)
        c = windowsForm(c);

    QStringEncoder encoder(codecName, QStringConverter::Flag::Stateless);
    QByteArray bytes = encoder.encode(mapped);
    if (!encoder.hasError())
        return bytes;

    // Rare path: encode code point by code point and put "?" where the code page has no character.
    bytes.clear();
    for (qsizetype i = 0; i < mapped.size();) {
        qsizetype length = 1;
        if (mapped.at(i).isHighSurrogate() && i + 1 < mapped.size() && mapped.at(i + 1).isLowSurrogate())
            length = 2;
        QStringEncoder one(codecName, QStringConverter::Flag::Stateless);
        const QByteArray piece = one.encode(QStringView(mapped).mid(i, length));
        if (one.hasError() || piece.isEmpty())
            bytes.append('?');
        else
            bytes.append(piece);
        i += length;
    }
    return bytes;
}

QString decode(const QByteArray &bytes)
{
    QStringDecoder decoder(codecName, QStringConverter::Flag::Stateless);
    return decoder.decode(bytes);
}

} // namespace Cp932
