#pragma once

#include "app/clock.h"
#include "app/module1.h"
#include "app/systemscheduler.h"
#include "benchsupport.h"
#include "net/virtuallan.h"
#include "ui/form1.h"

#include <QCoreApplication>
#include <QTemporaryDir>

namespace Bench {

// A real instance (host A, 198.18.0.1) on the in-memory LAN, with a second host (B, 198.18.0.2)
// to send from; set.txt goes to a temporary folder.
struct VirtualInstance
{
    // Starts the instance and waits until its window is on screen and its own start-up
    // announcement is handled, so that nothing of it falls into a timed segment.
    bool start()
    {
        if (!module1.Main() || !waitUntilExposed(module1.form1()))
            return false;
        for (int i = 0; i < 10; ++i)
            QCoreApplication::processEvents();
        return true;
    }

    Form1 *form1() const { return module1.form1(); }

    QTemporaryDir appFolder;
    VirtualLan lan;
    std::unique_ptr<VirtualHost> hostA = lan.addHost(QStringLiteral("198.18.0.1"), QStringLiteral("benchA"));
    std::unique_ptr<VirtualHost> hostB = lan.addHost(QStringLiteral("198.18.0.2"), QStringLiteral("benchB"));
    PrintingMessageBox messages;
    SystemClock clock;
    NoShell shell;
    SystemScheduler scheduler;
    Services services{*hostA, messages, clock, shell, scheduler};
    Module1 module1{services, appFolder.path()};
};

} // namespace Bench
