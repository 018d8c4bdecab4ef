#include "platformchoice.h"

#include <QFileInfo>
#include <QLibraryInfo>
#include <QtGlobal>

namespace PlatformChoice {

QByteArray platformToAskFor(const QByteArray &waylandDisplay, const QByteArray &sessionType,
                            const QByteArray &qpaPlatform, bool xcbPluginInstalled)
{
    if (!qpaPlatform.isEmpty() || !xcbPluginInstalled)
        return {};
    const bool wayland =
        !waylandDisplay.isEmpty() || sessionType.compare("wayland", Qt::CaseInsensitive) == 0;
    return wayland ? QByteArrayLiteral("xcb;wayland") : QByteArray();
}

} // namespace PlatformChoice

void preferX11OnWayland()
{
    const bool xcbInstalled = QFileInfo::exists(QLibraryInfo::path(QLibraryInfo::PluginsPath) +
                                                QStringLiteral("/platforms/libqxcb.so"));
    const QByteArray platform = PlatformChoice::platformToAskFor(
        qgetenv("WAYLAND_DISPLAY"), qgetenv("XDG_SESSION_TYPE"), qgetenv("QT_QPA_PLATFORM"), xcbInstalled);
    if (!platform.isEmpty())
        qputenv("QT_QPA_PLATFORM", platform);
}
