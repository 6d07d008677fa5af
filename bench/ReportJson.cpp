// The report as JSON, for tools: every run with its figures, and the targets.

#include "Report.h"

#include "Protocol.h"

#include <QJsonArray>

namespace orvik::bench {

namespace {

QJsonObject summaryJson(const Summary& s, double scale)
{
    return QJsonObject{
        {QStringLiteral("count"), double(s.count)},   {QStringLiteral("min"), s.min * scale},
        {QStringLiteral("median"), s.median * scale}, {QStringLiteral("p99"), s.p99 * scale},
        {QStringLiteral("max"), s.max * scale},       {QStringLiteral("mean"), s.mean * scale}};
}

QJsonArray seconds(const std::vector<double>& ns)
{
    QJsonArray out;
    for (double v : ns)
        out.append(v / 1e9);
    return out;
}

QJsonObject runJson(const RunFigures& r)
{
    QJsonObject o{{QStringLiteral("ok"), r.ok},
                  {QStringLiteral("round_trips"), r.roundTrips},
                  {QStringLiteral("wall_s"), r.wall},
                  {QStringLiteral("sent"), double(r.sent)},
                  {QStringLiteral("replies"), double(r.replies)},
                  {QStringLiteral("resent"), double(r.resent)},
                  {QStringLiteral("silences"), double(silences(r.marks).size())},
                  {QStringLiteral("silent_s"), silentSeconds(r)},
                  {QStringLiteral("each_silence_s"), seconds(silences(r.marks))},
                  {QStringLiteral("message_us"), summaryJson(summarize(cycleTimes(r.marks)), 1e-3)},
                  {QStringLiteral("unit_received"), double(r.unitReceived)},
                  {QStringLiteral("unit_outcome"), r.unitOutcome}};
    if (r.cpu >= 0)
        o.insert(QStringLiteral("cpu_process_s"), r.cpu);
    if (r.guiCpu > 0)
        o.insert(QStringLiteral("cpu_gui_thread_s"), r.guiCpu);
    if (!r.boxText.isEmpty())
        o.insert(QStringLiteral("success_box"), r.boxText);
    if (!r.error.isEmpty())
        o.insert(QStringLiteral("error"), r.error);
    return o;
}

QJsonObject comparisonJson(const Comparison& c)
{
    QJsonObject o{{QStringLiteral("messages"), c.messages}};
    if (!c.skipped.isEmpty()) {
        o.insert(QStringLiteral("skipped"), c.skipped);
        return o;
    }
    if (!c.error.isEmpty())
        o.insert(QStringLiteral("error"), c.error);
    QJsonArray tool;
    for (const RunFigures& r : c.tool)
        tool.append(runJson(r));
    QJsonArray bare;
    for (const RunFigures& r : c.bare)
        bare.append(runJson(r));
    o.insert(QStringLiteral("tool_runs"), tool);
    o.insert(QStringLiteral("bare_runs"), bare);
    if (c.ran()) {
        o.insert(QStringLiteral("tool_wall_s"), c.medianTool().wall);
        o.insert(QStringLiteral("bare_wall_s"), c.medianBare().wall);
        o.insert(QStringLiteral("ratio"), c.ratio());
        o.insert(QStringLiteral("tool_active_s"), medianOf(c.tool, activeSeconds));
        o.insert(QStringLiteral("bare_active_s"), medianOf(c.bare, activeSeconds));
        o.insert(QStringLiteral("ratio_without_silences"), c.activeRatio());
        const LatencyFigures l = latencyFigures(c);
        o.insert(QStringLiteral("tool_latency_us"), summaryJson(l.toolNs, 1e-3));
        o.insert(QStringLiteral("handoff_us"), summaryJson(l.handoffNs, 1e-3));
        o.insert(QStringLiteral("gui_work_us"), summaryJson(l.workNs, 1e-3));
        if (l.bareNs.count > 0)
            o.insert(QStringLiteral("bare_latency_us"), summaryJson(l.bareNs, 1e-3));
        o.insert(QStringLiteral("tool_message_us"), summaryJson(l.toolCycleNs, 1e-3));
        o.insert(QStringLiteral("bare_message_us"), summaryJson(l.bareCycleNs, 1e-3));
    }
    if (c.lateCycles >= 0)
        o.insert(QStringLiteral("late_server_cycles"), c.lateCycles);
    return o;
}

QJsonObject lossJson(const Losses& l)
{
    return QJsonObject{{QStringLiteral("total"), double(l.total)},
                       {QStringLiteral("median_per_run"), l.median},
                       {QStringLiteral("near_late_cycles"), double(l.atLateCycles)}};
}

QJsonObject peersJson(const Comparison& p, const QString& unit)
{
    QJsonObject o = comparisonJson(p);
    o.insert(QStringLiteral("unit"), unit);
    if (p.ran()) {
        o.insert(QStringLiteral("lost_messages"),
                 QJsonObject{{QStringLiteral("bare"), lossJson(losses(p.bare))},
                             {QStringLiteral("window"), lossJson(losses(p.tool))}});
        const StageFigures s = stageFigures(p.tool);
        o.insert(QStringLiteral("stages_us"),
                 QJsonObject{{QStringLiteral("total"), summaryJson(s.totalNs, 1e-3)},
                             {QStringLiteral("input"), summaryJson(s.inputNs, 1e-3)},
                             {QStringLiteral("handoff"), summaryJson(s.handoffNs, 1e-3)},
                             {QStringLiteral("work"), summaryJson(s.workNs, 1e-3)},
                             {QStringLiteral("output"), summaryJson(s.outputNs, 1e-3)}});
    }
    return o;
}

} // namespace

QJsonObject toJson(const BenchReport& r)
{
    QJsonObject image{
        {QStringLiteral("bytes"), double(kImageSize)},
        {QStringLiteral("runs"), r.image.runs},
        {QStringLiteral("total_ms"), summaryJson(r.image.total, 1e3)},
        {QStringLiteral("ns_per_byte_median"), r.image.total.median * 1e9 / kImageSize}};
    QJsonObject din{{QStringLiteral("baud"), kDinBaud},
                    {QStringLiteral("bits_per_byte"), kDinBitsPerByte},
                    {QStringLiteral("messages"), double(r.din.messages)},
                    {QStringLiteral("bytes_to_unit"), double(r.din.bytesToUnit)},
                    {QStringLiteral("bytes_from_unit"), double(r.din.bytesFromUnit)},
                    {QStringLiteral("seconds"), r.din.seconds}};
    QJsonArray targets;
    for (const Target& t : evaluateTargets(r))
        targets.append(QJsonObject{{QStringLiteral("what"), t.what},
                                   {QStringLiteral("value"), t.value},
                                   {QStringLiteral("limit"), t.limit},
                                   {QStringLiteral("unit"), t.unit},
                                   {QStringLiteral("met"), t.met()}});
    QJsonObject usb = peersJson(
        r.usbPeers, QStringLiteral("orvik16-devsim --rawmidi on the device side of a USB-MIDI "
                                   "interface (usb_f_midi on dummy_hcd)"));
    if (!r.usbUnitPort.isEmpty())
        usb.insert(QStringLiteral("unit_port"), r.usbUnitPort);
    return QJsonObject{
        {QStringLiteral("machine"), r.machine},
        {QStringLiteral("command"), r.command},
        {QStringLiteral("smoke"), r.smoke},
        {QStringLiteral("realtime_jack"), r.realtimeJack},
        {QStringLiteral("probe_in_updater"), r.probeInUpdater},
        {QStringLiteral("messages_timed"), r.messages},
        {QStringLiteral("serial"), double(r.serial)},
        {QStringLiteral("image_preparation"), image},
        {QStringLiteral("in_process"), comparisonJson(r.inProcess)},
        {QStringLiteral("jack"), comparisonJson(r.jack)},
        {QStringLiteral("separate_processes"),
         peersJson(r.peers, QStringLiteral("one client, answers in the cycle"))},
        {QStringLiteral("separate_processes_hand_off"),
         peersJson(r.handOffPeers, QStringLiteral("two clients, answers from its own thread"))},
        {QStringLiteral("usb_midi_in_kernel"), usb},
        {QStringLiteral("din_wire_model"), din},
        {QStringLiteral("targets"), targets}};
}

} // namespace orvik::bench
