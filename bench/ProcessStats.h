// What the process costs: CPU time and resident memory.
#pragma once

#include <cstdint>

namespace orvik::bench {

double processCpuSeconds();
double threadCpuSeconds();
double wallSeconds();

struct Memory
{
    std::int64_t rssKb = -1; // VmRSS
    std::int64_t hwmKb = -1; // VmHWM, the peak since start or the last reset
};

Memory readMemory();
// Starts the peak over from the current resident size (Linux 4.0 and later);
// false when the kernel refuses.
bool resetPeakMemory();

} // namespace orvik::bench
