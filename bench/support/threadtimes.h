#pragma once

#include <QString>
#include <vector>

namespace Bench {

// The CPU time of each thread of this process so far, from /proc/self/task: which thread a
// benchmark's work fell on (the history's workers run at nice 10).
struct ThreadTime
{
    int tid = 0;
    QString name;
    int nice = 0;
    double cpuSeconds = 0; // user and system
};

std::vector<ThreadTime> threadTimes();

} // namespace Bench
