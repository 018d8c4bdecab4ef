#include "windowservices.h"

#include <QGuiApplication>
#include <QTimer>
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

namespace {

void pollFrame(QWidget *window, std::function<void(QMargins)> apply, int triesLeft)
{
    const QMargins frame = window->windowHandle() ? window->windowHandle()->frameMargins() : QMargins();
    const QString platform = QGuiApplication::platformName();
    const bool frameMayCome = platform != QLatin1String("offscreen") && platform != QLatin1String("minimal");
    if (frame.isNull() && frameMayCome && triesLeft > 0) {
        QTimer::singleShot(20, window, [window, apply = std::move(apply), triesLeft]() mutable {
            pollFrame(window, std::move(apply), triesLeft - 1);
        });
        return;
    }
    apply(frame);
}

} // namespace

void whenFrameKnown(QWidget *window, std::function<void(QMargins)> apply)
{
    pollFrame(window, std::move(apply), 50);
}

bool isTopMost(const QWidget *window)
{
    const QWindow *handle = window->windowHandle();
    return handle && handle->flags().testFlag(Qt::WindowStaysOnTopHint);
}
