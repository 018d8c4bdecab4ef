#include "printingurlopener.h"

void PrintingUrlOpener::openUrl(const QString &target)
{
    const QByteArray bytes = QStringLiteral("shell open %1\n").arg(target).toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), m_stream);
    std::fflush(m_stream);
}
