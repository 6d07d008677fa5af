// The arithmetic of the benchmark: summaries of timing samples, intervals
// between timestamped marks, and the wire time of a MIDI cable.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace orvik::bench {

struct Summary
{
    std::size_t count = 0;
    double min = 0;
    double median = 0;
    double p99 = 0;
    double max = 0;
    double mean = 0;
};

// Nearest-rank percentile of sorted values: the smallest value that at least
// p percent of the values do not exceed. 0 for no values.
double percentile(const std::vector<double>& sorted, double p);
Summary summarize(std::vector<double> values);

// Where a message is on its way through the tool, as the probe saw it.
enum class MarkKind : std::uint8_t
{
    Reply,   // a reply reached the layer's input callback
    Arrival, // it reached the window on the GUI thread
    Send,    // a message was handed to midiOutLongMsg
    Wire,    // a reply's bytes reached the layer from the MIDI system's callback
    Out,     // a message reached the MIDI system's send
};
inline constexpr int kMarkKinds = 5;

struct Mark
{
    MarkKind kind;
    std::int64_t ns; // steady clock
};

// Nanoseconds from each `to` mark back to the latest `from` mark since the
// previous `to` mark. A `to` with no such `from` (a message the tool sent on
// its own, such as BeginUpdate or a watchdog re-send) gives no interval, and
// a `from` overtaken by another `from` (a reply that made the tool send
// nothing) is dropped. `marks` must be in time order.
std::vector<double> intervals(const std::vector<Mark>& marks, MarkKind from, MarkKind to);

// Nanoseconds from each send to the next one that a reply caused: one
// message's whole round, the far side's share and the sender's own. A round
// that a silence broke (the next send came unprompted) gives nothing.
std::vector<double> cycleTimes(const std::vector<Mark>& marks);

// Sends that no reply caused: BeginUpdate, and every re-send after a silence.
std::size_t unpromptedSends(const std::vector<Mark>& marks);

// Nanoseconds of each silence that a re-send ended: from the send whose
// reply never came to the re-send. What a lost event cost, whoever lost it.
// Two sends closer than `floorNs` with no reply between them are no silence
// but two replies that reached the sender together; the watchdog's rule
// never re-sends that soon.
inline constexpr double kSilenceFloorNs = 250e6;
std::vector<double> silences(const std::vector<Mark>& marks, double floorNs = kSilenceFloorNs);

// The private server's cycle: 128 frames at 48 kHz.
inline constexpr double kJackCycleNs = 128.0 / 48000.0 * 1e9;

// Server cycles that began more than half a cycle after they were due: the
// driver woke late, and the dummy driver then drops events.
std::size_t lateCycles(const std::vector<std::int64_t>& cycleStarts);

// Of the silences, those whose lost message left within a few cycles of a
// late one, or of an xrun the server reported: losses the server's lateness
// explains, whichever side it hit.
std::size_t silencesAtLateCycles(const std::vector<Mark>& marks,
                                 const std::vector<std::int64_t>& cycleStarts,
                                 const std::vector<std::int64_t>& xruns = {},
                                 double floorNs = kSilenceFloorNs);

// A MIDI DIN cable: 31250 baud, each byte a start bit, eight data bits and a
// stop bit. Every message and every reply crosses it whole before the other
// side can answer, so the wire times of an update simply add up.
inline constexpr double kDinBaud = 31250;
inline constexpr int kDinBitsPerByte = 10;

struct WireModel
{
    std::uint64_t messages = 0;
    std::uint64_t bytesToUnit = 0;
    std::uint64_t bytesFromUnit = 0;
    double secondsToUnit = 0;
    double secondsFromUnit = 0;
    double seconds = 0;
};

// One reply of `replySize` bytes for each message.
WireModel dinWireModel(const std::vector<std::size_t>& messageSizes, std::size_t replySize);
double dinSeconds(std::uint64_t bytes);

} // namespace orvik::bench
