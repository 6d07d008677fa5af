#include "Report.h"

#include "Protocol.h"

#include <QLocale>

#include <algorithm>
#include <numeric>

namespace orvik::bench {

namespace {

const RunFigures& medianRun(const std::vector<RunFigures>& runs)
{
    std::vector<const RunFigures*> order;
    for (const RunFigures& r : runs)
        order.push_back(&r);
    std::sort(order.begin(), order.end(),
              [](const RunFigures* a, const RunFigures* b) { return a->wall < b->wall; });
    return *order[(order.size() - 1) / 2];
}

// The median of one figure over runs (the lower one of an even count).

template <class Measure>
Summary pooled(const std::vector<RunFigures>& runs, Measure measure)
{
    std::vector<double> values;
    for (const RunFigures& r : runs) {
        const std::vector<double> v = measure(r.marks);
        values.insert(values.end(), v.begin(), v.end());
    }
    return summarize(std::move(values));
}

Summary pooled(const std::vector<RunFigures>& runs, MarkKind from, MarkKind to)
{
    return pooled(runs, [&](const std::vector<Mark>& m) { return intervals(m, from, to); });
}

QString grouped(std::uint64_t n)
{
    QLocale c(QLocale::C);
    c.setNumberOptions(QLocale::DefaultNumberOptions);
    return c.toString(static_cast<qulonglong>(n));
}

QString us(double ns)
{
    return QString::number(ns / 1000.0, 'f', 1) + QStringLiteral(" us");
}

QString ms(double seconds, int decimals = 3)
{
    return QString::number(seconds * 1000.0, 'f', decimals) + QStringLiteral(" ms");
}

QString sec(double seconds, int decimals = 3)
{
    return QString::number(seconds, 'f', decimals) + QStringLiteral(" s");
}

QString verdict(const Target& t)
{
    return t.met() ? QStringLiteral("met") : QStringLiteral("MISSED");
}

void line(std::FILE* out, const QString& text)
{
    std::fprintf(out, "%s\n", qPrintable(text));
}

QString pad(const QString& text, int width)
{
    return text.leftJustified(width);
}

QString rpad(const QString& text, int width)
{
    return text.rightJustified(width);
}

QString unitText(const RunFigures& r)
{
    if (r.unitReceived < 0)
        return QStringLiteral("-");
    return grouped(std::uint64_t(r.unitReceived)) + QStringLiteral(", ") + r.unitOutcome;
}

void printRun(std::FILE* out, const QString& name, const RunFigures& r, bool gui)
{
    line(out, QStringLiteral("   ") + pad(name, 24) + rpad(sec(r.wall), 10) +
                  rpad(r.cpu >= 0 ? sec(r.cpu) : QStringLiteral("-"), 12) +
                  rpad(gui ? sec(r.guiCpu) : QStringLiteral("-"), 12) +
                  rpad(grouped(r.sent) + QLatin1Char('/') + grouped(r.replies), 14) +
                  QStringLiteral("   ") + unitText(r));
}

void printComparison(std::FILE* out, const Comparison& c, const QString& toolName,
                     const QString& bareName)
{
    if (!c.skipped.isEmpty()) {
        line(out, QStringLiteral("   skipped: ") + c.skipped);
        return;
    }
    if (!c.error.isEmpty())
        line(out, QStringLiteral("   FAILED: ") + c.error);
    if (!c.ran())
        return;
    line(out, QStringLiteral("   ") + pad(QString(), 24) + rpad(QStringLiteral("wall"), 10) +
                  rpad(QStringLiteral("CPU process"), 12) + rpad(QStringLiteral("CPU GUI"), 12) +
                  rpad(QStringLiteral("sent/replies"), 14) +
                  QStringLiteral("   the unit received"));
    printRun(out, toolName, c.medianTool(), true);
    printRun(out, bareName, c.medianBare(), false);
    line(
        out,
        QStringLiteral("   ratio of the whole updates, tool / bare: %1").arg(c.ratio(), 0, 'f', 3));
    // The median message shows the tool's own cost even when a silence has
    // stretched one of the runs.
    const LatencyFigures l = latencyFigures(c);
    if (l.toolCycleNs.count > 0 && l.bareCycleNs.count > 0)
        line(out, QStringLiteral("   median message, send to next send: tool %1, bare %2, ratio %3")
                      .arg(us(l.toolCycleNs.median), us(l.bareCycleNs.median))
                      .arg(l.toolCycleNs.median / l.bareCycleNs.median, 0, 'f', 3));
}

QString runLine(const RunFigures& run)
{
    QString late;
    if (!run.cycleStarts.empty())
        late = QStringLiteral(", %1 at a late cycle of %2 or an xrun of %3")
                   .arg(silencesAtLateCycles(run.marks, run.cycleStarts, run.xruns))
                   .arg(lateCycles(run.cycleStarts))
                   .arg(run.xruns.size());
    // The unit's own count beside the sender's, where the unit's log was read.
    const QString unit = run.unitReceived >= 0
                             ? QStringLiteral(", the unit %1 messages, %2")
                                   .arg(grouped(std::uint64_t(run.unitReceived)), run.unitOutcome)
                             : QString();
    return QStringLiteral("%1 (%2 silences%3, %4; median message %5%6)")
        .arg(sec(run.wall, 2))
        .arg(silences(run.marks).size())
        .arg(late, sec(silentSeconds(run), 1), us(summarize(wireCycleTimes(run.marks)).median),
             unit);
}

QString lossText(const Losses& l, bool clocked)
{
    if (!clocked)
        return QStringLiteral("%1 (median %2 a run)").arg(l.total).arg(l.median);
    return QStringLiteral("%1 (median %2 a run, %3 near a late cycle or an xrun)")
        .arg(l.total)
        .arg(l.median)
        .arg(l.atLateCycles);
}

// `system` names whose callback brings the replies: "JACK" or "ALSA". Where
// no server's cycles were recorded (no JACK), nothing is said of them.
void printPeers(std::FILE* out, const Comparison& p, const QString& title, const QString& system)
{
    line(out, title.arg(p.tool.size()));
    if (!p.skipped.isEmpty()) {
        line(out, QStringLiteral("   skipped: ") + p.skipped);
        return;
    }
    if (!p.error.isEmpty())
        line(out, QStringLiteral("   FAILED: ") + p.error);
    if (!p.ran())
        return;
    line(out, QStringLiteral("   ") + pad(QString(), 26) + rpad(QStringLiteral("wall"), 10) +
                  rpad(QStringLiteral("/ bare"), 8) + rpad(QStringLiteral("msg p50"), 11) +
                  rpad(QStringLiteral("msg p90"), 11) + rpad(QStringLiteral("sent/replies"), 15) +
                  rpad(QStringLiteral("re-sent"), 9));
    const double bareWall = p.medianBare().wall;
    auto row = [&](const QString& name, const std::vector<RunFigures>& runs) {
        if (runs.empty())
            return;
        const RunFigures& m = medianRun(runs);
        std::vector<double> all;
        std::uint64_t resent = 0;
        for (const RunFigures& r : runs) {
            const std::vector<double> v = wireCycleTimes(r.marks);
            all.insert(all.end(), v.begin(), v.end());
            resent += r.resent;
        }
        std::sort(all.begin(), all.end());
        line(out, QStringLiteral("   ") + pad(name, 26) + rpad(sec(m.wall, 2), 10) +
                      rpad(QString::number(bareWall > 0 ? m.wall / bareWall : 0, 'f', 3), 8) +
                      rpad(us(percentile(all, 50)), 11) + rpad(us(percentile(all, 90)), 11) +
                      rpad(grouped(m.sent) + QLatin1Char('/') + grouped(m.replies), 15) +
                      rpad(grouped(resent), 9));
    };
    row(QStringLiteral("bare RtMidi host"), p.bare);
    row(QStringLiteral("tool, window on Xvfb"), p.tool);
    line(out, QStringLiteral("   a message is send to next send as the MIDI system saw the sends; "
                             "re-sent: blocks sent again after a silence, all runs"));
    // Side by side: the yardstick for the window's losses is the bare
    // host's against the same unit in the same rounds.
    const bool clocked = std::any_of(p.bare.begin(), p.bare.end(),
                                     [](const RunFigures& r) { return !r.cycleStarts.empty(); });
    line(out, QStringLiteral("   messages lost, all runs: bare host %1; window %2")
                  .arg(lossText(losses(p.bare), clocked), lossText(losses(p.tool), clocked)));
    const StageFigures s = stageFigures(p.tool);
    if (s.totalNs.count > 0) {
        line(out, QStringLiteral("   inside the tool, %1 messages").arg(grouped(s.totalNs.count)));
        line(out, QStringLiteral("   ") + pad(QString(), 48) + rpad(QStringLiteral("median"), 10) +
                      rpad(QStringLiteral("p99"), 10) + rpad(QStringLiteral("max"), 11));
        auto stage = [&](const QString& name, const Summary& v) {
            line(out, QStringLiteral("   ") + pad(name, 48) + rpad(us(v.median), 10) +
                          rpad(us(v.p99), 10) + rpad(us(v.max), 11));
        };
        stage(QStringLiteral("reply in the %1 callback -> next message sent").arg(system),
              s.totalNs);
        stage(QStringLiteral("  to the layer's input callback"), s.inputNs);
        stage(QStringLiteral("  to the window on the GUI thread"), s.handoffNs);
        stage(QStringLiteral("  the window's work up to midiOutLongMsg"), s.workNs);
        stage(QStringLiteral("  midiOutLongMsg to RtMidi's send"), s.outputNs);
    }
    auto placementRow = [&](const QString& name, const std::vector<RunFigures>& runs) {
        const CyclePlacement c = cyclePlacement(runs);
        if (c.messages == 0)
            return;
        line(out, QStringLiteral("   %1: replies arrive %2 into their cycle (median); one cycle "
                                 "for %3 % of messages, sent %4 into theirs (median, max %5); "
                                 "more for %6 %, sent %7 in (median, min %8)")
                      .arg(name, us(c.replyOffsetNs.median))
                      .arg(100.0 * double(c.sameCycle) / double(c.messages), 0, 'f', 1)
                      .arg(us(c.sameOffsetNs.median), us(c.sameOffsetNs.max))
                      .arg(100.0 * double(c.laterCycle) / double(c.messages), 0, 'f', 1)
                      .arg(us(c.laterOffsetNs.median), us(c.laterOffsetNs.min)));
    };
    if (clocked) {
        line(out, QStringLiteral("   in the server's cycles (a cycle is 2667 us):"));
        placementRow(QStringLiteral("bare"), p.bare);
        placementRow(QStringLiteral("window"), p.tool);
    }
    for (std::size_t i = 0; i < p.bare.size(); ++i)
        line(out, QStringLiteral("   run %1: bare %2; window %3")
                      .arg(i + 1)
                      .arg(runLine(p.bare[i]),
                           i < p.tool.size() ? runLine(p.tool[i]) : QStringLiteral("-")));
    if (p.lateCycles >= 0)
        line(out, QStringLiteral("   late server cycles %1").arg(p.lateCycles));
}

} // namespace

double medianOf(const std::vector<RunFigures>& runs, double (*figure)(const RunFigures&))
{
    std::vector<double> values;
    for (const RunFigures& r : runs)
        values.push_back(figure(r));
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[(values.size() - 1) / 2];
}

const RunFigures& Comparison::medianTool() const
{
    return medianRun(tool);
}

const RunFigures& Comparison::medianBare() const
{
    return medianRun(bare);
}

double Comparison::ratio() const
{
    return ran() && medianBare().wall > 0 ? medianTool().wall / medianBare().wall : 0;
}

double silentSeconds(const RunFigures& r)
{
    const std::vector<double> s = silences(r.marks);
    return std::accumulate(s.begin(), s.end(), 0.0) / 1e9;
}

double activeSeconds(const RunFigures& r)
{
    return r.wall - silentSeconds(r);
}

double Comparison::activeRatio() const
{
    if (!ran())
        return 0;
    const double bareActive = medianOf(bare, activeSeconds);
    return bareActive > 0 ? medianOf(tool, activeSeconds) / bareActive : 0;
}

LatencyFigures latencyFigures(const Comparison& c)
{
    LatencyFigures l;
    l.toolNs = pooled(c.tool, MarkKind::Reply, MarkKind::Send);
    l.handoffNs = pooled(c.tool, MarkKind::Reply, MarkKind::Arrival);
    l.workNs = pooled(c.tool, MarkKind::Arrival, MarkKind::Send);
    l.bareNs = pooled(c.bare, MarkKind::Reply, MarkKind::Send);
    l.toolCycleNs = pooled(c.tool, cycleTimes);
    l.bareCycleNs = pooled(c.bare, cycleTimes);
    return l;
}

std::vector<double> wireCycleTimes(const std::vector<Mark>& marks)
{
    const bool probed = std::any_of(marks.begin(), marks.end(),
                                    [](const Mark& m) { return m.kind == MarkKind::Out; });
    if (!probed)
        return cycleTimes(marks);
    // The layer's own marks stand in for the client's: the wire is what
    // the MIDI system saw.
    std::vector<Mark> wire;
    for (const Mark& m : marks) {
        if (m.kind == MarkKind::Wire)
            wire.push_back({MarkKind::Reply, m.ns});
        else if (m.kind == MarkKind::Out)
            wire.push_back({MarkKind::Send, m.ns});
    }
    return cycleTimes(wire);
}

CyclePlacement cyclePlacement(const std::vector<RunFigures>& runs)
{
    CyclePlacement p;
    std::vector<double> same, later, reply;
    for (const RunFigures& r : runs) {
        const std::vector<std::int64_t>& starts = r.cycleStarts;
        if (starts.size() < 2)
            continue;
        const bool probed = std::any_of(r.marks.begin(), r.marks.end(),
                                        [](const Mark& m) { return m.kind == MarkKind::Out; });
        const MarkKind sendKind = probed ? MarkKind::Out : MarkKind::Send;
        const MarkKind replyKind = probed ? MarkKind::Wire : MarkKind::Reply;
        // The cycle a moment falls in, and how far into it.
        auto place = [&](std::int64_t ns, std::int64_t& offset) -> std::ptrdiff_t {
            auto it = std::upper_bound(starts.begin(), starts.end(), ns);
            if (it == starts.begin() || it == starts.end())
                return -1;
            --it;
            offset = ns - *it;
            return it - starts.begin();
        };
        std::ptrdiff_t sendCycle = -1;
        std::int64_t sendOffset = 0;
        for (const Mark& m : r.marks) {
            std::int64_t offset = 0;
            if (m.kind == sendKind) {
                sendCycle = place(m.ns, offset);
                sendOffset = offset;
            } else if (m.kind == replyKind) {
                const std::ptrdiff_t cycle = place(m.ns, offset);
                if (cycle < 0)
                    continue;
                reply.push_back(double(offset));
                if (sendCycle < 0 || cycle <= sendCycle)
                    continue;
                ++p.messages;
                if (cycle - sendCycle == 1) {
                    ++p.sameCycle;
                    same.push_back(double(sendOffset));
                } else {
                    ++p.laterCycle;
                    later.push_back(double(sendOffset));
                }
                sendCycle = -1;
            }
        }
    }
    p.sameOffsetNs = summarize(std::move(same));
    p.laterOffsetNs = summarize(std::move(later));
    p.replyOffsetNs = summarize(std::move(reply));
    return p;
}

StageFigures stageFigures(const std::vector<RunFigures>& runs)
{
    StageFigures s;
    s.totalNs = pooled(runs, MarkKind::Wire, MarkKind::Out);
    s.inputNs = pooled(runs, MarkKind::Wire, MarkKind::Reply);
    s.handoffNs = pooled(runs, MarkKind::Reply, MarkKind::Arrival);
    s.workNs = pooled(runs, MarkKind::Arrival, MarkKind::Send);
    s.outputNs = pooled(runs, MarkKind::Send, MarkKind::Out);
    return s;
}

void printTable(std::FILE* out, const BenchReport& r)
{
    line(out, QStringLiteral("orvik16-bench: ") + r.machine);
    line(out, QStringLiteral("%1 of the update's %2 messages timed per run%3; the unit's serial %4")
                  .arg(r.messages)
                  .arg(kBlockCount * (kSliceCount + 1))
                  .arg(r.smoke ? QStringLiteral(" (smoke run)") : QString())
                  .arg(r.serial));
    line(out, QString());

    const ImagePreparationFigures& im = r.image;
    line(out,
         QStringLiteral("1. Image preparation, %1 bytes, %2 runs").arg(kImageSize).arg(im.runs));
    line(out, QStringLiteral("   ") + pad(QString(), 34) + rpad(QStringLiteral("best"), 12) +
                  rpad(QStringLiteral("median"), 12));
    auto imageRow = [&](const QString& name, const Summary& s) {
        line(out,
             QStringLiteral("   ") + pad(name, 34) + rpad(ms(s.min), 12) + rpad(ms(s.median), 12));
    };
    imageRow(QStringLiteral("prepareImage (all of it)"), im.total);
    line(out, QStringLiteral("   ") + pad(QStringLiteral("  per byte"), 34) +
                  rpad(QString::number(im.total.min * 1e9 / kImageSize, 'f', 2) + " ns", 12) +
                  rpad(QString::number(im.total.median * 1e9 / kImageSize, 'f', 2) + " ns", 12));
    line(out, QString());

    line(out, QStringLiteral("2. Tool latency per message, in-process, loopback, instant unit"));
    if (r.inProcess.ran()) {
        const LatencyFigures l = latencyFigures(r.inProcess);
        line(out, QStringLiteral("   over %1 updates, %2 messages")
                      .arg(r.inProcess.tool.size())
                      .arg(grouped(l.toolNs.count)));
        line(out, QStringLiteral("   ") + pad(QString(), 44) + rpad(QStringLiteral("median"), 10) +
                      rpad(QStringLiteral("p99"), 10) + rpad(QStringLiteral("max"), 11));
        auto row = [&](const QString& name, const Summary& s) {
            line(out, QStringLiteral("   ") + pad(name, 44) + rpad(us(s.median), 10) +
                          rpad(us(s.p99), 10) + rpad(us(s.max), 11));
        };
        row(QStringLiteral("reply at the input callback -> next message"), l.toolNs);
        row(QStringLiteral("  hand-off to the GUI thread"), l.handoffNs);
        row(QStringLiteral("  the window's work up to midiOutLongMsg"), l.workNs);
        row(QStringLiteral("bare client, the same two points"), l.bareNs);
    } else {
        line(out, QStringLiteral("   not measured: the in-process part did not run"));
    }
    line(out, QString());

    line(out,
         QStringLiteral("3. Update in-process against an instant simulated unit (median of %1)")
             .arg(r.inProcess.tool.size()));
    printComparison(out, r.inProcess, QStringLiteral("tool (MainWindow)"),
                    QStringLiteral("bare winmm ping-pong"));
    line(out, QString());

    line(out, QStringLiteral("4. Update over a private JACK server (dummy, 128 frames at 48 kHz), "
                             "orvik16-devsim (median of %1)")
                  .arg(r.jack.tool.size()));
    printComparison(out, r.jack, QStringLiteral("tool (MainWindow)"),
                    QStringLiteral("bare RtMidi ping-pong"));
    if (r.jack.ran()) {
        const Comparison& j = r.jack;
        line(out, QStringLiteral("   without the silences after lost events: tool %1, bare %2, "
                                 "ratio %3")
                      .arg(sec(medianOf(j.tool, activeSeconds), 2),
                           sec(medianOf(j.bare, activeSeconds), 2))
                      .arg(j.activeRatio(), 0, 'f', 3));
        line(out, QStringLiteral("   late server cycles %1; a lost event ends in a silence of 5 to "
                                 "6 s on either side, the watchdog's rule")
                      .arg(j.lateCycles));
        // Every run, so that no loss hides behind a median.
        auto runText = [](const RunFigures& run) {
            return QStringLiteral("%1 (%2 silences, %3; median message %4)")
                .arg(sec(run.wall, 2))
                .arg(silences(run.marks).size())
                .arg(sec(silentSeconds(run), 1), us(summarize(cycleTimes(run.marks)).median));
        };
        for (std::size_t i = 0; i < j.tool.size() && i < j.bare.size(); ++i)
            line(out, QStringLiteral("   run %1: tool %2, bare %3")
                          .arg(i + 1)
                          .arg(runText(j.tool[i]), runText(j.bare[i])));
        const LatencyFigures l = latencyFigures(j);
        line(out, QStringLiteral("   tool latency per message here: median %1, p99 %2, max %3")
                      .arg(us(l.toolNs.median), us(l.toolNs.p99), us(l.toolNs.max)));
    }
    line(out, QString());

    const QString server =
        r.realtimeJack ? QStringLiteral("realtime") : QStringLiteral("no realtime");
    printPeers(out, r.peers,
               QStringLiteral("5. Update between separate processes on one JACK server (%1): "
                              "orvik16-devsim as one client answering in the cycle, a bare "
                              "RtMidi host, the tool (median of %2)")
                   .arg(server, QStringLiteral("%1")),
               QStringLiteral("JACK"));
    line(out, QString());
    printPeers(out, r.handOffPeers,
               QStringLiteral("6. The same rounds against a unit of two RtMidi clients that hands "
                              "each message to its own thread (orvik16-devsim --jack-clients "
                              "two), %1 (median of %2)")
                   .arg(server, QStringLiteral("%1")),
               QStringLiteral("JACK"));
    line(out, QString());
    // Under emulation every figure is slower than on hardware; what counts
    // is the window against the bare host on the same stack in the same run.
    printPeers(out, r.usbPeers,
               QStringLiteral("7. USB-MIDI interface in the kernel: the same two peers on the "
                              "ALSA sequencer, the unit (orvik16-devsim --rawmidi) behind \"%1\" "
                              "(median of %2)")
                   .arg(r.usbUnitPort.isEmpty() ? QStringLiteral("-") : r.usbUnitPort,
                        QStringLiteral("%1")),
               QStringLiteral("ALSA"));
    line(out, QString());

    const WireModel& d = r.din;
    line(out, QStringLiteral(
                  "8. DIN wire model, %1 baud, %2 bits per byte, %3 messages and their replies")
                  .arg(kDinBaud)
                  .arg(kDinBitsPerByte)
                  .arg(d.messages));
    line(out, QStringLiteral("   ") + pad(QStringLiteral("to the unit"), 24) +
                  rpad(grouped(d.bytesToUnit) + QStringLiteral(" bytes"), 16) +
                  rpad(sec(d.secondsToUnit, 1), 12));
    line(out, QStringLiteral("   ") + pad(QStringLiteral("from the unit"), 24) +
                  rpad(grouped(d.bytesFromUnit) + QStringLiteral(" bytes"), 16) +
                  rpad(sec(d.secondsFromUnit, 1), 12));
    line(out, QStringLiteral("   ") + pad(QStringLiteral("on the wire"), 24) + pad(QString(), 16) +
                  rpad(sec(d.seconds, 1), 12) +
                  QStringLiteral(" (%1 min)").arg(d.seconds / 60, 0, 'f', 2));
    if (r.inProcess.ran()) {
        const double share = latencyFigures(r.inProcess).toolNs.median * 1e-9 * double(d.messages);
        line(out, QStringLiteral(
                      "   the tool's own share at its median latency: %1 (%2 % of the wire time)")
                      .arg(sec(share, 2))
                      .arg(share / d.seconds * 100, 0, 'f', 3));
    }
    line(out, QString());

    line(out, QStringLiteral("Targets"));
    for (const Target& t : evaluateTargets(r))
        line(out, QStringLiteral("   ") + pad(t.what, 58) +
                      rpad(QString::number(t.value, 'f', t.unit.isEmpty() ? 3 : 1) +
                               (t.unit.isEmpty() ? QString() : QLatin1Char(' ') + t.unit),
                           12) +
                      QStringLiteral("  limit %1  %2").arg(t.limit).arg(verdict(t)));
}

} // namespace orvik::bench
