#include "applicationfonts.h"

#include <QApplication>
#include <QFont>

void setUpApplicationFonts()
{
    QFont::insertSubstitutions(
        QStringLiteral("ＭＳ Ｐゴシック"),
        {QStringLiteral("IPAPGothic"), QStringLiteral("IPAexGothic"), QStringLiteral("Noto Sans CJK JP")});
    // The Latin default with per-character fallback is wider than the Windows font the captions
    // were laid out for, and mixes two fonts in one line.
    QFont font = QApplication::font();
    font.setFamilies({QStringLiteral("IPAPGothic"), QStringLiteral("IPAexGothic"),
                      QStringLiteral("Noto Sans CJK JP"), font.family()});
    font.setPointSize(9);
    QApplication::setFont(font);
}
