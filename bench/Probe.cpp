#include "Probe.h"

#include "WinmmLayer_p.h"

#include <algorithm>
#include <chrono>

namespace orvik::bench {

namespace {

std::int64_t nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void onLayerProbe(winmm::ProbePoint point, UINT message)
{
    switch (point) {
    case winmm::ProbePoint::LongMessage:
        Probe::instance().mark(MarkKind::Send);
        break;
    case winmm::ProbePoint::InputCallback:
        if (message == MIM_LONGDATA)
            Probe::instance().mark(MarkKind::Reply);
        break;
    case winmm::ProbePoint::Fed:
        Probe::instance().mark(MarkKind::Wire);
        break;
    case winmm::ProbePoint::BackendSend:
        Probe::instance().mark(MarkKind::Out);
        break;
    }
}

} // namespace

Probe& Probe::instance()
{
    static Probe probe;
    return probe;
}

void Probe::start(std::size_t capacity)
{
    winmm::setProbeHook(nullptr);
    buffer_.assign(capacity, Mark{MarkKind::Reply, 0});
    next_ = 0;
    for (auto& count : counts_)
        count = 0;
    winmm::setProbeHook(&onLayerProbe);
}

void Probe::stop()
{
    winmm::setProbeHook(nullptr);
}

void Probe::mark(MarkKind kind)
{
    // The clock first: the slot order may differ from the time order when two
    // threads mark at once, and marks() sorts by time anyway.
    const std::int64_t ns = nowNs();
    const std::size_t slot = next_.fetch_add(1, std::memory_order_relaxed);
    if (slot < buffer_.size())
        buffer_[slot] = Mark{kind, ns};
    counts_[static_cast<int>(kind)].fetch_add(1, std::memory_order_relaxed);
}

std::uint64_t Probe::count(MarkKind kind) const
{
    return counts_[static_cast<int>(kind)].load(std::memory_order_relaxed);
}

std::vector<Mark> Probe::marks() const
{
    const std::size_t n = std::min(next_.load(), buffer_.size());
    std::vector<Mark> out(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(n));
    std::stable_sort(out.begin(), out.end(),
                     [](const Mark& a, const Mark& b) { return a.ns < b.ns; });
    return out;
}

std::uint64_t Probe::lost() const
{
    const std::size_t n = next_.load();
    return n > buffer_.size() ? n - buffer_.size() : 0;
}

} // namespace orvik::bench
