#pragma once

// Small pieces shared by the benchmark programs.

#include "app/messagebox.h"
#include "app/shell.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QWidget>
#include <QWindow>
#include <QString>
#include <QStringList>
#include <cstdio>

namespace Bench {

// A message box would wait for a click that never comes: print it and remember it instead.
class PrintingMessageBox : public MessageBox
{
public:
    void critical(QWidget *, const QString &title, const QString &text) override
    {
        std::fprintf(stderr, "message box \"%s\": %s\n", qUtf8Printable(title), qUtf8Printable(text));
        ++shown;
    }
    int shown = 0;
};

class NoShell : public Shell
{
public:
    void openUrl(const QString &) override {}
};

// Runs the event loop until the window is on screen (at most 10 s); says so when it never is.
inline bool waitUntilExposed(QWidget *window)
{
    const QDeadlineTimer deadline(10000);
    while (!(window->windowHandle() && window->windowHandle()->isExposed()) && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    if (window->windowHandle() && window->windowHandle()->isExposed())
        return true;
    std::fprintf(stderr, "the window was never exposed\n");
    return false;
}

// Resident set size of this process in KiB, or -1.
inline long long rssKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> lines = status.readAll().split('\n');
    for (const QByteArray &line : lines) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

} // namespace Bench
