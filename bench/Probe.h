// Timestamps of each message's way through the tool: the winmm layer's probe
// points (a reply reaching the input callback, a message handed to
// midiOutLongMsg) and the window's own receipt of the reply on the GUI
// thread. One recording at a time; marking never allocates or locks.
#pragma once

#include "Figures.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace orvik::bench {

class Probe
{
public:
    static Probe& instance();

    // Clears what an earlier recording left and hooks into the layer. Marks
    // beyond `capacity` are counted but not kept.
    void start(std::size_t capacity);
    void stop();

    // From any thread.
    void mark(MarkKind kind);
    std::uint64_t count(MarkKind kind) const;

    // In time order. Only once the threads that marked are known to be done
    // (their ports closed), so that every mark is visible here.
    std::vector<Mark> marks() const;
    std::uint64_t lost() const;

private:
    Probe() = default;

    std::vector<Mark> buffer_;
    std::atomic<std::size_t> next_{0};
    std::atomic<std::uint64_t> counts_[kMarkKinds] = {};
};

} // namespace orvik::bench
