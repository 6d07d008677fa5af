// Time as the simulated unit sees it. The program runs on the steady clock;
// in-process tests move a manual clock by hand, a second per tick of the
// tool's watchdog, so that an eight-second erase costs them no real time.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>

namespace orvik::devsim {

using DeviceTime = std::chrono::steady_clock::time_point;
using DeviceNow = std::function<DeviceTime()>;

inline DeviceTime steadyNow()
{
    return std::chrono::steady_clock::now();
}

// Read from the unit's worker thread, moved from the test's.
class ManualClock
{
public:
    DeviceTime now() const { return DeviceTime(std::chrono::nanoseconds(ns_.load())); }
    void advance(std::chrono::nanoseconds by) { ns_ += by.count(); }

private:
    std::atomic<std::int64_t> ns_{0};
};

} // namespace orvik::devsim
