#include "printingmessagebox.h"

void PrintingMessageBox::critical(QWidget *, const QString &title, const QString &text)
{
    ++shown;
    // One line each: whoever reads the stream reads it line by line.
    const QString line = QStringLiteral("messagebox %1: %2\n")
                             .arg(title, QString(text).replace(QLatin1Char('\n'), QLatin1Char(' ')));
    const QByteArray bytes = line.toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), m_stream);
    std::fflush(m_stream);
}
