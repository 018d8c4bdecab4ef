#include "windowservices.h"

#include <QWidget>
#include <QWindow>

void f_topMost(QWidget *window, bool on)
{
    window->winId(); // creates the native window without showing it
    // Through the QWindow: QWidget::setWindowFlag would destroy and recreate the native window.
    window->windowHandle()->setFlag(Qt::WindowStaysOnTopHint, on);
    if (window->isVisible())
        window->raise();
}

bool isTopMost(const QWidget *window)
{
    const QWindow *handle = window->windowHandle();
    return handle && handle->flags().testFlag(Qt::WindowStaysOnTopHint);
}
