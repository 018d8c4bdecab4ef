#pragma once

#include <QRect>
#include <cmath>

// Positions and sizes are kept in twips: 15 to a device-independent pixel.
namespace Twips {

constexpr int perPixel = 15;

inline int toPixels(double twips)
{
    return int(std::lround(twips / perPixel));
}

inline int fromPixels(int pixels)
{
    return pixels * perPixel;
}

inline QRect rect(double left, double top, double width, double height)
{
    return QRect(toPixels(left), toPixels(top), toPixels(width), toPixels(height));
}

} // namespace Twips
