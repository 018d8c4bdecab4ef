#include "platformchoice.h"

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
