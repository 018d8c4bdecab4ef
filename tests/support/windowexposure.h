#pragma once

class QWidget;

namespace Bench {

// Runs the event loop until the window is on screen (at most 10 s); says so when it never is.
bool waitUntilExposed(QWidget *window);

} // namespace Bench
