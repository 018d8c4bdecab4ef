#pragma once

class QWidget;

// f_topMost: the window enters or leaves the always-on-top band; it is neither moved, resized,
// hidden nor recreated.
void f_topMost(QWidget *window, bool on);
bool isTopMost(const QWidget *window);
