#pragma once

#include <QRect>
#include <QtGlobal>
#include <algorithm>
#include <cmath>
#include <limits>

// Positions and sizes are kept in twips: 15 to a device-independent pixel.
namespace Twips {

constexpr int perPixel = 15;
// X11 keeps window positions and sizes in 16 bits; whatever set.txt says is held to that.
constexpr int farthestPixels = 32767;

// Qt's largest widget size: far beyond any screen, and two of them still add up within an int.
constexpr int largestPixels = 16777215;

// The nearest whole pixel, held to what a widget can be.
inline int toPixels(double twips)
{
    if (!std::isfinite(twips))
        return 0;
    return int(std::lround(std::clamp(twips / perPixel, double(-largestPixels), double(largestPixels))));
}

// Held to what set.txt can store.
inline qint32 fromPixels(qint64 pixels)
{
    return qint32(std::clamp<qint64>(pixels * perPixel, std::numeric_limits<qint32>::min(),
                                     std::numeric_limits<qint32>::max()));
}

// A window edge in twips held to what the window system can place.
inline qint32 clampPosition(qint32 twips)
{
    return std::clamp(twips, -(farthestPixels + 1) * perPixel, farthestPixels * perPixel);
}

// A window width or height in twips held to what the window system can show: at least a pixel.
inline qint32 clampSize(qint32 twips)
{
    return std::clamp(twips, perPixel, farthestPixels * perPixel);
}

inline QRect rect(double left, double top, double width, double height)
{
    return QRect(toPixels(left), toPixels(top), toPixels(width), toPixels(height));
}

} // namespace Twips
