#include "windowexposure.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QWidget>
#include <QWindow>
#include <cstdio>

namespace Bench {

bool waitUntilExposed(QWidget *window)
{
    const QDeadlineTimer deadline(10000);
    while (!(window->windowHandle() && window->windowHandle()->isExposed()) && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    if (window->windowHandle() && window->windowHandle()->isExposed())
        return true;
    std::fprintf(stderr, "the window was never exposed\n");
    return false;
}

} // namespace Bench
