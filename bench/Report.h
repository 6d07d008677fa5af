// Everything one run of the benchmark found, and its two forms: a table for
// people and JSON for tools.
#pragma once

#include "Figures.h"
#include "Runs.h"

#include <QJsonObject>
#include <QString>

#include <cstdio>
#include <vector>

namespace orvik::bench {

struct ImagePreparationFigures
{
    int runs = 0;
    // Seconds.
    Summary total;
};

// The tool against a bare client, over one transport, in the same run.
struct Comparison
{
    QString skipped; // why it did not run; empty when it did
    QString error;   // what went wrong; empty when every run worked
    int messages = 0;
    std::vector<RunFigures> tool;
    std::vector<RunFigures> bare;
    int lateCycles = -1; // JACK's "XRun" reports while it ran
    // Between separate processes `tool` is the window on a real X display
    // and `bare` takes each reply to its main thread to answer it, as any
    // program with a window must.

    bool ran() const { return skipped.isEmpty() && !tool.empty() && !bare.empty(); }
    // The run with the median wall time (the lower one of an even count).
    const RunFigures& medianTool() const;
    const RunFigures& medianBare() const;
    // Of the median runs' wall times.
    double ratio() const;
    // Of the median active times: each run's wall time less its silences, so
    // that a lost event, which costs either side the same 5 to 6 s, does not
    // decide the comparison by how many each side happened to lose.
    double activeRatio() const;
};

// Messages lost on the way, whoever lost them: each one a silence that the
// sender ended by sending the block again.
struct Losses
{
    std::uint64_t total = 0;        // over all runs
    double median = 0;              // a run (the lower one of an even count)
    std::uint64_t atLateCycles = 0; // of the total, near a late cycle or a reported xrun
};
Losses losses(const std::vector<RunFigures>& runs);

// The median over runs of one figure of each.
double medianOf(const std::vector<RunFigures>& runs, double (*figure)(const RunFigures&));

// Seconds of a run's silences, and its wall time without them.
double silentSeconds(const RunFigures& r);
double activeSeconds(const RunFigures& r);

struct BenchReport
{
    QString machine; // build, toolkit, cores, processor, kernel
    QString command;
    bool smoke = false;
    bool realtimeJack = false; // the private server ran at realtime priority
    // Whether the shipped updater carries the layer's timing probe: 0 no,
    // 1 yes, -1 not known (not built alongside, or stripped).
    int probeInUpdater = -1;
    int messages = 0; // timed per update
    std::uint32_t serial = 0;
    ImagePreparationFigures image;
    Comparison inProcess;
    Comparison jack;
    // The unit, the bare client and the tool in processes of their own:
    // against orvik16-devsim as one JACK client that answers in the cycle,
    Comparison peers;
    // and against a unit of two RtMidi clients that hands each message to
    // its own thread and answers from there, in the same rounds.
    Comparison handOffPeers;
    // The same two peers on the ALSA sequencer, against a unit the caller
    // started behind `usbUnitPort` of a USB-MIDI interface (in practice
    // inside an emulated kernel: bench/usb-in-kernel.sh).
    Comparison usbPeers;
    QString usbUnitPort;
    WireModel din;
};

// Nanoseconds per message, from the probe's marks of every timed run.
struct LatencyFigures
{
    Summary toolNs;    // reply in the input callback -> next message to midiOutLongMsg
    Summary handoffNs; // reply in the input callback -> the window has it
    Summary workNs;    // the window has it -> next message to midiOutLongMsg
    Summary bareNs;    // the same two points in the bare client
    // One message's whole round, send to next send, silences left out.
    Summary toolCycleNs;
    Summary bareCycleNs;
};
LatencyFigures latencyFigures(const Comparison& c);

// Inside the tool between separate processes, nanoseconds per message from
// the reply's bytes reaching the layer in the MIDI system's callback to the
// next message reaching the MIDI system's send, and each stage on the way.
struct StageFigures
{
    Summary totalNs;   // Wire -> Out
    Summary inputNs;   // Wire -> Reply: to the layer's input callback
    Summary handoffNs; // Reply -> Arrival: to the window on the GUI thread
    Summary workNs;    // Arrival -> Send: the window's work up to midiOutLongMsg
    Summary outputNs;  // Send -> Out: from midiOutLongMsg to the MIDI system
};
StageFigures stageFigures(const std::vector<RunFigures>& runs);

// Where messages fall in the JACK server's cycles: for each message, the
// cycles from the one in which it reached the MIDI system to the one in
// which its reply came back, and how far into its cycle it got there. A
// message that reaches the system after the sender's output has run for the
// cycle waits for the next one.
struct CyclePlacement
{
    std::size_t messages = 0;
    std::size_t sameCycle = 0;  // the reply came in the next cycle: one cycle a message
    std::size_t laterCycle = 0; // two cycles or more
    Summary sameOffsetNs;       // how far into its cycle such a message was sent
    Summary laterOffsetNs;
    Summary replyOffsetNs; // how far into its cycle each reply arrived
};
CyclePlacement cyclePlacement(const std::vector<RunFigures>& runs);

// One message's whole round on the wire, send to next send, as the MIDI
// system saw the sends (the layer's sends where the probe saw them, else the
// client's own marks); silences left out.
std::vector<double> wireCycleTimes(const std::vector<Mark>& marks);

struct Target
{
    QString what;
    double value = 0;
    double limit = 0;
    QString unit;
    bool met() const { return value <= limit; }
};
std::vector<Target> evaluateTargets(const BenchReport& report);

void printTable(std::FILE* out, const BenchReport& report);
QJsonObject toJson(const BenchReport& report);

} // namespace orvik::bench
