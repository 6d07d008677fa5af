#include "Figures.h"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace orvik::bench {

double percentile(const std::vector<double>& sorted, double p)
{
    if (sorted.empty())
        return 0;
    const double rank = std::ceil(p / 100.0 * static_cast<double>(sorted.size()));
    const auto index = static_cast<std::size_t>(std::clamp(rank, 1.0, double(sorted.size()))) - 1;
    return sorted[index];
}

Summary summarize(std::vector<double> values)
{
    Summary s;
    if (values.empty())
        return s;
    std::sort(values.begin(), values.end());
    s.count = values.size();
    s.min = values.front();
    s.max = values.back();
    s.median = percentile(values, 50);
    s.p99 = percentile(values, 99);
    s.mean = std::accumulate(values.begin(), values.end(), 0.0) / static_cast<double>(s.count);
    return s;
}

std::vector<double> intervals(const std::vector<Mark>& marks, MarkKind from, MarkKind to)
{
    std::vector<double> out;
    bool pending = false;
    std::int64_t since = 0;
    for (const Mark& mark : marks) {
        if (mark.kind == from) {
            pending = true;
            since = mark.ns;
        } else if (mark.kind == to) {
            if (pending)
                out.push_back(static_cast<double>(mark.ns - since));
            pending = false;
        }
    }
    return out;
}

namespace {

// Calls `gap(nanoseconds, replied, since)` for every send but the first, with
// the time since the send before it, whether a reply came in between, and
// when that send was.
template <class Gap>
void eachSendGap(const std::vector<Mark>& marks, Gap gap)
{
    bool sent = false;
    bool replied = false;
    std::int64_t lastSend = 0;
    for (const Mark& mark : marks) {
        if (mark.kind == MarkKind::Reply) {
            replied = true;
        } else if (mark.kind == MarkKind::Send) {
            if (sent)
                gap(static_cast<double>(mark.ns - lastSend), replied, lastSend);
            sent = true;
            replied = false;
            lastSend = mark.ns;
        }
    }
}

} // namespace

std::vector<double> cycleTimes(const std::vector<Mark>& marks)
{
    std::vector<double> out;
    eachSendGap(marks, [&](double ns, bool replied, std::int64_t) {
        if (replied)
            out.push_back(ns);
    });
    return out;
}

std::size_t unpromptedSends(const std::vector<Mark>& marks)
{
    std::size_t count = 0;
    bool replied = false;
    for (const Mark& mark : marks) {
        if (mark.kind == MarkKind::Reply) {
            replied = true;
        } else if (mark.kind == MarkKind::Send) {
            if (!replied)
                ++count;
            replied = false;
        }
    }
    return count;
}

std::vector<double> silences(const std::vector<Mark>& marks, double floorNs)
{
    std::vector<double> out;
    eachSendGap(marks, [&](double ns, bool replied, std::int64_t) {
        if (!replied && ns >= floorNs)
            out.push_back(ns);
    });
    return out;
}

std::size_t lateCycles(const std::vector<std::int64_t>& cycleStarts)
{
    std::size_t count = 0;
    for (std::size_t i = 1; i < cycleStarts.size(); ++i)
        if (double(cycleStarts[i] - cycleStarts[i - 1]) > 1.5 * kJackCycleNs)
            ++count;
    return count;
}

std::size_t silencesAtLateCycles(const std::vector<Mark>& marks,
                                 const std::vector<std::int64_t>& cycleStarts,
                                 const std::vector<std::int64_t>& xruns, double floorNs)
{
    // The message leaves in the cycle after its send at the latest and its
    // reply comes a cycle or two later: a cycle due in that span that began
    // late can have taken either.
    auto lateNear = [&](std::int64_t sendNs) {
        const auto from = std::int64_t(double(sendNs) - 2 * kJackCycleNs);
        const auto to = std::int64_t(double(sendNs) + 4 * kJackCycleNs);
        auto it = std::lower_bound(cycleStarts.begin(), cycleStarts.end(), from);
        for (; it != cycleStarts.end() && it + 1 != cycleStarts.end() && *it <= to; ++it)
            if (double(*(it + 1) - *it) > 1.5 * kJackCycleNs)
                return true;
        return false;
    };
    // Without realtime a cycle can start on time while a client misses its
    // deadline; the server drops that client's events and reports an xrun
    // from its notification thread, some cycles after the one it lost.
    auto xrunNear = [&](std::int64_t sendNs) {
        const auto from = std::int64_t(double(sendNs) - 2 * kJackCycleNs);
        const auto to = std::int64_t(double(sendNs) + 8 * kJackCycleNs);
        auto it = std::lower_bound(xruns.begin(), xruns.end(), from);
        return it != xruns.end() && *it <= to;
    };
    std::size_t count = 0;
    eachSendGap(marks, [&](double ns, bool replied, std::int64_t since) {
        if (!replied && ns >= floorNs && (lateNear(since) || xrunNear(since)))
            ++count;
    });
    return count;
}

double dinSeconds(std::uint64_t bytes)
{
    return static_cast<double>(bytes) * kDinBitsPerByte / kDinBaud;
}

WireModel dinWireModel(const std::vector<std::size_t>& messageSizes, std::size_t replySize)
{
    WireModel m;
    m.messages = messageSizes.size();
    m.bytesToUnit = std::accumulate(messageSizes.begin(), messageSizes.end(), std::uint64_t{0});
    m.bytesFromUnit = m.messages * replySize;
    m.secondsToUnit = dinSeconds(m.bytesToUnit);
    m.secondsFromUnit = dinSeconds(m.bytesFromUnit);
    m.seconds = m.secondsToUnit + m.secondsFromUnit;
    return m;
}

} // namespace orvik::bench
