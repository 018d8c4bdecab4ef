#pragma once

// The main window's controls that follow the window's size, in twips.
struct ControlsGeometry
{
    float text1Width = 4485;
    float list1Width = 5145;
    float list1Height = 2730;
    float command1Left = 4500;
    float command1Width = 585;
    float command1Height = 315;
    float list2Left = 5160;
    float list2Width = 1305;
    float list2Height = 2550;
    float label1Left = 5190;
    float check1Left = 5250;

    bool operator==(const ControlsGeometry &) const = default;
};

// The nine layout steps on a client area of W x H twips, each reading the values the steps
// before it left; a step that would give a negative width or height is skipped.
ControlsGeometry layoutControls(float clientWidth, float clientHeight, ControlsGeometry current);
