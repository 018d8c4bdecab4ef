#pragma once

// The clocks of the benchmarks, in nanoseconds. CLOCK_MONOTONIC is shared by every network
// namespace of one kernel, so times taken on different hosts of a bench LAN compare directly.
namespace Bench {

long long monotonicNs();
long long realtimeNs();
// Sleeps until a CLOCK_MONOTONIC time; returns at once if it has passed.
void sleepUntilMonotonicNs(long long ns);

} // namespace Bench
