#include "desktopshell.h"

#include <QDesktopServices>
#include <QUrl>

void DesktopShell::openUrl(const QString &target)
{
    QDesktopServices::openUrl(QUrl(target));
}
