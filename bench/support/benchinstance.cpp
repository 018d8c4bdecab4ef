#include "benchinstance.h"

#include "ui/form1.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QWidget>
#include <QWindow>

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

bool VirtualInstance::start()
{
    if (!instance.start() || !waitUntilExposed(instance.form()))
        return false;
    for (int i = 0; i < 10; ++i)
        QCoreApplication::processEvents();
    return true;
}

} // namespace Bench
