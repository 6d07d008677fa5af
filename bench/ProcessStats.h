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
    // What VmRSS is made of: private memory, mapped files (the libraries)
    // and shared memory (a JACK client maps the server's).
    std::int64_t anonKb = -1;
    std::int64_t fileKb = -1;
    std::int64_t shmemKb = -1;
};

Memory readMemory();
// Starts the peak over from the current resident size (Linux 4.0 and later);
// false when the kernel refuses.
bool resetPeakMemory();

} // namespace orvik::bench
