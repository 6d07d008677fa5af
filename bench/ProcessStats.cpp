#include "ProcessStats.h"

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

} // namespace orvik::bench
