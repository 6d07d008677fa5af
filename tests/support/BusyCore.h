// Keeps one core busy for a bounded time.
//
// JACK's dummy driver wakes late on an idle virtual machine and then drops
// MIDI events; a spinning thread keeps the machine out of its idle states.
// It runs at the lowest priority, so it only takes time nobody else wants.
#pragma once

#include <atomic>
#include <chrono>
#include <thread>

namespace orvik::testsupport {

class BusyCore
{
public:
    // Spins until stop() or destruction, but never longer than `limit`, so a
    // test that hangs does not leave a core burning forever.
    explicit BusyCore(std::chrono::milliseconds limit = std::chrono::minutes(10));
    ~BusyCore();
    BusyCore(const BusyCore&) = delete;
    BusyCore& operator=(const BusyCore&) = delete;

    void stop();
    // Whether the loop is still spinning (false once stopped or timed out).
    bool spinning() const { return spinning_.load(std::memory_order_relaxed); }

private:
    std::atomic<bool> stop_{false};
    std::atomic<bool> spinning_{true};
    std::thread thread_;
};

} // namespace orvik::testsupport
