#include "clocks.h"

#include <cerrno>
#include <ctime>

namespace Bench {

namespace {

long long nowNs(clockid_t clock)
{
    timespec now{};
    clock_gettime(clock, &now);
    return now.tv_sec * 1000000000LL + now.tv_nsec;
}

} // namespace

long long monotonicNs()
{
    return nowNs(CLOCK_MONOTONIC);
}

long long realtimeNs()
{
    return nowNs(CLOCK_REALTIME);
}

void sleepUntilMonotonicNs(long long ns)
{
    const timespec at{time_t(ns / 1000000000LL), long(ns % 1000000000LL)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
    }
}

} // namespace Bench
