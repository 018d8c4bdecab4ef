#pragma once

#include "instance.h"
#include "manualscheduler.h"
#include "virtuallan.h"

#include <QList>
#include <QString>
#include <memory>
#include <vector>

// The set-up most window tests share: a virtual LAN, the virtual time its instances' timers run
// on, and the instances. A test names the parts it uses:
//
//   LanWithInstance fixture;                 // host-a on 198.18.0.1, not started yet
//   auto &[lan, time, a] = fixture;
//   QVERIFY(a.start());
//
//   LanWithInstances fixture({1, 2});        // host1 on 198.18.0.1 and host2 on .2, started
//   auto &[lan, time, instances] = fixture;

// One instance, started by the test: its start is a check of its own, and some tests prepare the
// host or the settings file before it.
struct LanWithInstance
{
    explicit LanWithInstance(const QString &address = QStringLiteral("198.18.0.1"),
                             const QString &hostName = QStringLiteral("host-a"),
                             const QString &folder = QString())
        : a(lan, time, address, hostName, folder)
    {
    }

    VirtualLan lan;
    ManualScheduler time;
    Instance a;
};

// Instances "host<n>" on 198.18.0.<n>, started in the order given; one that does not start ends
// the test program.
struct LanWithInstances
{
    explicit LanWithInstances(const QList<int> &lastOctets);

    VirtualLan lan;
    ManualScheduler time;
    std::vector<std::unique_ptr<Instance>> instances;
};
