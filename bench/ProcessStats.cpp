#include "ProcessStats.h"

#include <cstdio>
#include <cstring>
#include <ctime>

namespace orvik::bench {

namespace {

double clockSeconds(clockid_t clock)
{
    timespec ts{};
    clock_gettime(clock, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

} // namespace

double processCpuSeconds()
{
    return clockSeconds(CLOCK_PROCESS_CPUTIME_ID);
}

double threadCpuSeconds()
{
    return clockSeconds(CLOCK_THREAD_CPUTIME_ID);
}

double wallSeconds()
{
    return clockSeconds(CLOCK_MONOTONIC);
}

Memory readMemory()
{
    Memory m;
    std::FILE* status = std::fopen("/proc/self/status", "r");
    if (!status)
        return m;
    char line[256];
    while (std::fgets(line, sizeof line, status)) {
        long long kb = 0;
        if (std::sscanf(line, "VmRSS: %lld kB", &kb) == 1)
            m.rssKb = kb;
        else if (std::sscanf(line, "VmHWM: %lld kB", &kb) == 1)
            m.hwmKb = kb;
        else if (std::sscanf(line, "RssAnon: %lld kB", &kb) == 1)
            m.anonKb = kb;
        else if (std::sscanf(line, "RssFile: %lld kB", &kb) == 1)
            m.fileKb = kb;
        else if (std::sscanf(line, "RssShmem: %lld kB", &kb) == 1)
            m.shmemKb = kb;
    }
    std::fclose(status);
    return m;
}

bool resetPeakMemory()
{
    std::FILE* refs = std::fopen("/proc/self/clear_refs", "w");
    if (!refs)
        return false;
    const bool written = std::fputs("5", refs) >= 0;
    return std::fclose(refs) == 0 && written;
}

} // namespace orvik::bench
