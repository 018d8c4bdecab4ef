#pragma once

#include <QString>

namespace Bench {

// Programs that flood or broadcast may only run inside a test network namespace: every IPv4
// address of every interface other than loopback must lie in 198.18.0.0/15, and there must be at
// least one. Returns why not, or an empty text.
QString notInBenchNamespace();

} // namespace Bench
