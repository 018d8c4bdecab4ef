#include "layout.h"

namespace {

void setSize(float &property, float value)
{
    if (value >= 0)
        property = value;
}

} // namespace

ControlsGeometry layoutControls(float W, float H, ControlsGeometry c)
{
    setSize(c.text1Width, W - c.command1Width - c.list2Width - 100);
    setSize(c.list1Width, W - c.list2Width - 100);
    setSize(c.list1Height, H - (c.command1Height - 70));
    c.list2Left = c.list1Width + 50;
    c.label1Left = c.list1Width + 100;
    c.check1Left = c.list1Width + 100;
    setSize(c.list2Width, W - c.list1Width - 100);
    setSize(c.list2Height, H - (c.command1Height + 120));
    c.command1Left = W - c.list2Width - c.command1Width;
    return c;
}
