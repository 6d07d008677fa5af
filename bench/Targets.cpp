// What --check holds the figures to.

#include "Report.h"

#include <algorithm>

namespace orvik::bench {

namespace {

Summary pooledWireCycles(const std::vector<RunFigures>& runs)
{
    std::vector<double> values;
    for (const RunFigures& r : runs) {
        const std::vector<double> v = wireCycleTimes(r.marks);
        values.insert(values.end(), v.begin(), v.end());
    }
    return summarize(std::move(values));
}

// Between separate processes the raw figures are judged, against each kind
// of unit on its own: a window that keeps up with one kind may still lose
// what the other kind's timing exposes.
void peerTargets(std::vector<Target>& targets, const Comparison& p, const QString& unit)
{
    if (!p.ran())
        return;
    const QString prefix = unit + QStringLiteral(": ");
    targets.push_back(
        {prefix + QStringLiteral("window / bare, whole update"), p.ratio(), 1.10, QString()});
    const Summary tool = pooledWireCycles(p.tool);
    const Summary bare = pooledWireCycles(p.bare);
    targets.push_back({prefix + QStringLiteral("window / bare, median message"),
                       bare.median > 0 ? tool.median / bare.median : 0, 1.05, QString()});
    // Every loss counts, late server cycles included: a client that does
    // not finish its cycle in time makes the server report the xrun that
    // would otherwise excuse it. One either way is the server's noise.
    const double more = losses(p.tool).median - losses(p.bare).median;
    targets.push_back({prefix + QStringLiteral("lost messages a run, window less bare"),
                       std::max(0.0, more), 1, QString()});
}

} // namespace

std::vector<Target> evaluateTargets(const BenchReport& report)
{
    std::vector<Target> targets;
    if (report.probeInUpdater >= 0)
        targets.push_back({QStringLiteral("timing probe in orvik16-update"),
                           double(report.probeInUpdater), 0, QString()});
    if (report.image.runs > 0)
        targets.push_back({QStringLiteral("image preparation, median"),
                           report.image.total.median * 1e3, 5, QStringLiteral("ms")});
    if (report.inProcess.ran()) {
        const LatencyFigures l = latencyFigures(report.inProcess);
        targets.push_back({QStringLiteral("tool latency per message, median"),
                           l.toolNs.median / 1e3, 50, QStringLiteral("us")});
        targets.push_back({QStringLiteral("tool latency per message, 99th percentile"),
                           l.toolNs.p99 / 1e3, 500, QStringLiteral("us")});
        targets.push_back({QStringLiteral("whole update in-process, tool / bare"),
                           report.inProcess.ratio(), 1.5, QString()});
    }
    // Over JACK the dummy driver loses an event now and then, and each loss
    // costs 5 to 6 s whichever side lost it: judged without the silences.
    if (report.jack.ran())
        targets.push_back({QStringLiteral("whole update over JACK, tool / bare, silences out"),
                           report.jack.activeRatio(), 1.10, QString()});
    peerTargets(targets, report.peers, QStringLiteral("peers, one-client unit"));
    peerTargets(targets, report.handOffPeers, QStringLiteral("peers, hand-off unit"));
    return targets;
}

Losses losses(const std::vector<RunFigures>& runs)
{
    Losses l;
    std::vector<double> each;
    for (const RunFigures& r : runs) {
        l.total += r.resent;
        l.atLateCycles += silencesAtLateCycles(r.marks, r.cycleStarts, r.xruns);
        each.push_back(double(r.resent));
    }
    std::sort(each.begin(), each.end());
    l.median = each.empty() ? 0 : each[(each.size() - 1) / 2];
    return l;
}

} // namespace orvik::bench
