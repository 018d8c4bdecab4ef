// Extreme numbers for the layout arithmetic, the twip conversions and the title marquee.
// Each number is taken from the input as a selector byte and, for the plain kinds, its bytes, so
// that INT_MIN, INT_MAX, NaN and the infinities come up as often as ordinary values.
#include "fuzzsupport.h"

#include "ui/layout.h"
#include "ui/titleindicator.h"
#include "ui/twips.h"

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <fuzzer/FuzzedDataProvider.h>
#include <limits>

namespace {

double takeNumber(FuzzedDataProvider &in)
{
    static const double special[] = {0.0,
                                     -0.0,
                                     double(INT_MIN),
                                     double(INT_MAX),
                                     double(INT_MAX) * Twips::perPixel,
                                     double(INT_MIN) * Twips::perPixel,
                                     std::numeric_limits<double>::quiet_NaN(),
                                     std::numeric_limits<double>::infinity(),
                                     -std::numeric_limits<double>::infinity(),
                                     double(std::numeric_limits<float>::max()),
                                     double(std::numeric_limits<float>::lowest()),
                                     std::numeric_limits<double>::max(),
                                     std::numeric_limits<double>::denorm_min(),
                                     6630,
                                     4455,
                                     -1};
    const uint8_t kind = in.ConsumeIntegral<uint8_t>();
    if (kind < 16)
        return special[kind];
    if (kind < 96)
        return double(in.ConsumeIntegral<int32_t>());
    if (kind < 160)
        return double(in.ConsumeIntegralInRange<int32_t>(-100000, 100000));
    return in.ConsumeFloatingPoint<double>();
}

int takeInt(FuzzedDataProvider &in)
{
    static const int special[] = {INT_MIN,
                                  INT_MAX,
                                  0,
                                  -1,
                                  1,
                                  INT_MAX / Twips::perPixel,
                                  INT_MIN / Twips::perPixel,
                                  INT_MAX / Twips::perPixel + 1};
    const uint8_t kind = in.ConsumeIntegral<uint8_t>();
    if (kind < 8)
        return special[kind];
    return in.ConsumeIntegral<int>();
}

bool isSize(float value)
{
    return value >= 0; // false for NaN
}

void checkLayout(float width, float height, const ControlsGeometry &before)
{
    const ControlsGeometry after = layoutControls(width, height, before);
    // Sizes that were sizes stay sizes, whatever the client area: no negative or NaN width.
    const std::pair<float, float> sizes[] = {{before.text1Width, after.text1Width},
                                             {before.list1Width, after.list1Width},
                                             {before.list1Height, after.list1Height},
                                             {before.list2Width, after.list2Width},
                                             {before.list2Height, after.list2Height}};
    for (const auto &[old, now] : sizes) {
        if (isSize(old))
            FUZZ_CHECK(isSize(now), "%g x %g: a size went from %g to %g", double(width), double(height),
                       double(old), double(now));
    }
    // The label and the check box stand beside the participant list, wherever it went.
    if (std::isfinite(after.list1Width)) {
        FUZZ_CHECK(after.label1Left == after.check1Left && after.list2Left <= after.label1Left);
    }
    // The controls' rectangles in pixels, as the main window sets them.
    (void)Twips::rect(0, 0, after.text1Width, 315);
    (void)Twips::rect(0, 330, after.list1Width, after.list1Height);
    (void)Twips::rect(after.command1Left, 0, after.command1Width, after.command1Height);
    (void)Twips::rect(after.list2Left, 510, after.list2Width, after.list2Height);
    (void)Twips::rect(after.label1Left, 300, 1215, 180);
    (void)Twips::rect(after.check1Left, 30, 1125, 195);
}

// A whole pixel count of twips: the nearest, held to the largest size a widget can have.
void checkToPixels(double twips)
{
    const int pixels = Twips::toPixels(twips);
    const double exact = twips / Twips::perPixel;
    if (!std::isfinite(exact))
        return;
    const double held = std::clamp(exact, double(-Twips::largestPixels), double(Twips::largestPixels));
    FUZZ_CHECK(std::fabs(double(pixels) - held) <= 0.5, "%.17g twips -> %d pixels", twips, pixels);
}

// Window geometry goes from set.txt (any 32-bit twips) to pixels and back when it is saved again:
// unchanged but for rounding wherever a widget can be.
void checkGeometryRoundTrip(int twips)
{
    const int pixels = Twips::toPixels(twips);
    const int back = Twips::fromPixels(pixels);
    if (std::llabs(twips) <= static_cast<long long>(Twips::largestPixels) * Twips::perPixel)
        FUZZ_CHECK(std::llabs(static_cast<long long>(back) - twips) <= Twips::perPixel / 2, "%d -> %d -> %d",
                   twips, pixels, back);
    else
        FUZZ_CHECK(std::abs(pixels) == Twips::largestPixels, "%d -> %d", twips, pixels);
}

// Exact, or the nearest value set.txt can hold.
void checkFromPixels(int pixels)
{
    const int twips = Twips::fromPixels(pixels);
    const long long exact = static_cast<long long>(pixels) * Twips::perPixel;
    FUZZ_CHECK(twips == std::clamp<long long>(exact, INT_MIN, INT_MAX), "%d -> %d", pixels, twips);
}

void checkMarquee(qint16 titlePos, qint16 newCount)
{
    const qint16 next = Title::nextTitlePos(titlePos);
    // The indicator starts at 0 and only ever steps; from there the position cycles through 1..15.
    if (titlePos >= 0 && titlePos <= 15) {
        FUZZ_CHECK(next >= 1 && next <= 15, "%d -> %d", titlePos, next);
        qint16 position = next;
        for (int i = 0; i < 15; ++i)
            position = Title::nextTitlePos(position);
        FUZZ_CHECK(position == next, "%d does not come back after 15 steps", next);
        FUZZ_CHECK(!Title::marqueeFrame(next).isEmpty(), "empty frame at %d", next);
    }

    const QString marquee = QString(10, QLatin1Char(' ')) + Title::plain;
    const QString frame = Title::marqueeFrame(titlePos);
    FUZZ_CHECK(frame.size() <= 10 && marquee.contains(frame), "%d -> [%s]", titlePos,
               fuzzShow(frame).constData());

    const QString prefix = Title::countPrefix(newCount);
    const QString head = QStringLiteral("新着：");
    const QString tail = QStringLiteral("件 ");
    FUZZ_CHECK(prefix.startsWith(head) && prefix.endsWith(tail), "[%s]", fuzzShow(prefix).constData());
    bool ok = false;
    const int shown = prefix.mid(head.size(), prefix.size() - head.size() - tail.size()).toInt(&ok);
    FUZZ_CHECK(ok && shown == newCount, "%d shown as [%s]", newCount, fuzzShow(prefix).constData());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider in(data, size);

    ControlsGeometry geometry;
    while (in.remaining_bytes() > 0) {
        const uint8_t what = in.ConsumeIntegral<uint8_t>() % 6;
        switch (what) {
        case 0: { // a resize: the layout goes on from where the previous one left it
            const float width = float(takeNumber(in));
            const float height = float(takeNumber(in));
            checkLayout(width, height, geometry);
            geometry = layoutControls(width, height, geometry);
            break;
        }
        case 1: { // a layout from arbitrary control sizes
            ControlsGeometry from;
            from.list1Width = float(takeNumber(in));
            from.list2Width = float(takeNumber(in));
            from.command1Width = float(takeNumber(in));
            from.command1Height = float(takeNumber(in));
            checkLayout(float(takeNumber(in)), float(takeNumber(in)), from);
            break;
        }
        case 2: checkToPixels(takeNumber(in)); break;
        case 3: checkGeometryRoundTrip(takeInt(in)); break;
        case 4: checkFromPixels(takeInt(in)); break;
        case 5: checkMarquee(in.ConsumeIntegral<qint16>(), in.ConsumeIntegral<qint16>()); break;
        }
    }
    return 0;
}
