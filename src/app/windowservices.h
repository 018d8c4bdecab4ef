#pragma once

#include <QMargins>
#include <functional>

class QWidget;

// f_topMost: the window enters or leaves the always-on-top band; it is neither moved, resized,
// hidden nor recreated.
void f_topMost(QWidget *window, bool on);
bool isTopMost(const QWidget *window);

// Calls apply with the window's frame margins: at once when they are known, else once the window
// manager has framed the mapped window (polling for about a second), or with no margins where no
// frame comes (offscreen, no window manager).
void whenFrameKnown(QWidget *window, std::function<void(QMargins)> apply);
