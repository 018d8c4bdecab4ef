#include "processmemory.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace Bench {

long long rssKiB()
{
    FILE *status = std::fopen("/proc/self/status", "r");
    if (!status)
        return -1;
    char line[256];
    long long kib = -1;
    while (std::fgets(line, sizeof line, status)) {
        if (std::strncmp(line, "VmRSS:", 6) == 0) {
            kib = std::atoll(line + 6);
            break;
        }
    }
    std::fclose(status);
    return kib;
}

} // namespace Bench
