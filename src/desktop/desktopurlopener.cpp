#include "desktopurlopener.h"

#include <QDesktopServices>
#include <QUrl>

void DesktopUrlOpener::openUrl(const QString &target)
{
    QDesktopServices::openUrl(QUrl(target));
}
