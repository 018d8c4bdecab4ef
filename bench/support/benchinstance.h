#pragma once

#include "app/module1.h"
#include "app/services.h"
#include "base/clock.h"
#include "base/systemscheduler.h"
#include "instance.h"
#include "net/udpnetwork.h"
#include "printingmessagebox.h"
#include "recordingbadgeandnotifications.h"
#include "recordingurlopener.h"
#include "virtuallan.h"

#include <QTemporaryDir>
#include <cstdio>
#include <memory>

class Form1;
class QWidget;

namespace Bench {

// Runs the event loop until the window is on screen (at most 10 s); says so when it never is.
bool waitUntilExposed(QWidget *window);

// A real instance (host A, 198.18.0.1) on the in-memory LAN, with a second host (B, 198.18.0.2)
// to send from; set.txt goes to a temporary folder.
struct VirtualInstance
{
    // Starts the instance and waits until its window is on screen and its own start-up
    // announcement is handled, so that nothing of it falls into a timed segment.
    bool start();

    Form1 *form1() const { return instance.form(); }

    VirtualLan lan;
    std::unique_ptr<VirtualHost> hostB = lan.addHost(QStringLiteral("198.18.0.2"), QStringLiteral("benchB"));
    PrintingMessageBox messages{stderr};
    SystemClock clock;
    RecordingUrlOpener shell;
    SystemScheduler scheduler;
    Instance instance{
        lan,      QStringLiteral("198.18.0.1"), QStringLiteral("benchA"), QString(), messages, clock, shell,
        scheduler};
};

// A real instance with the real UDP network, for the receivers on a LAN of network namespaces;
// set.txt goes to a temporary folder. With sharesFiles it serves and fetches files as the program
// does (from the history's opening on); the receivers leave it off, so that no server thread runs
// beside what they time.
struct UdpInstance
{
    explicit UdpInstance(bool sharesFiles = false)
        : services{network, messages, clock, shell, scheduler, desktop, sharesFiles}
    {
    }

    QTemporaryDir appFolder;
    UdpNetwork network;
    PrintingMessageBox messages{stderr};
    SystemClock clock;
    RecordingUrlOpener shell;
    SystemScheduler scheduler;
    RecordingBadgeAndNotifications desktop;
    Services services;
    Module1 module1{services, appFolder.path()};
};

} // namespace Bench
