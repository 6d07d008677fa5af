#include "BusyCore.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace orvik::testsupport {

BusyCore::BusyCore(std::chrono::milliseconds limit)
{
    const auto end = std::chrono::steady_clock::now() + limit;
    thread_ = std::thread([this, end] {
#ifdef __linux__
        // Per-thread niceness: only the spinner yields, not the test.
        setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), 19);
#endif
        volatile unsigned sink = 0;
        while (!stop_.load(std::memory_order_relaxed)) {
            for (unsigned i = 0; i < 100000; ++i)
                sink = sink + i;
            if (std::chrono::steady_clock::now() >= end)
                break;
        }
        spinning_.store(false, std::memory_order_relaxed);
    });
}

BusyCore::~BusyCore()
{
    stop();
}

void BusyCore::stop()
{
    stop_ = true;
    if (thread_.joinable())
        thread_.join();
}

} // namespace orvik::testsupport
