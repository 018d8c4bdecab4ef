#pragma once

namespace Bench {

// Resident set size of this process in KiB, or -1. Reads /proc without Qt, so a thread of its own
// may sample it while the window's thread is busy.
long long rssKiB();

} // namespace Bench
