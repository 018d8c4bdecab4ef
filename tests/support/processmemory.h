#pragma once

namespace Bench {

// Resident set size of this process in KiB, or -1.
long long rssKiB();

} // namespace Bench
