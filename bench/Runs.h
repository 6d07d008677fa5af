// One timed update, either by the tool through its real window or by a bare
// client that only plays ping-pong with the same unit.
#pragma once

#include "Figures.h"
#include "ProcessStats.h"
#include "UpdateMessages.h"

#include <QString>

#include <cstdint>
#include <string>
#include <vector>

namespace orvik::bench {

struct RunFigures
{
    bool ok = false;
    QString error;
    // Replies awaited: the one to BeginUpdate and one per message timed.
    int roundTrips = 0;
    double wall = 0;
    double cpu = 0;                 // the whole process; negative when not known
    double guiCpu = 0;              // the GUI thread only (tool runs)
    std::uint64_t sent = 0;         // messages handed to the MIDI output, BeginUpdate included
    std::uint64_t replies = 0;      // replies that came back
    std::uint64_t resent = 0;       // silences ended by sending the block again
    std::int64_t unitReceived = -1; // as the unit counted them, when it tells
    QString unitOutcome;
    QString boxText; // the success box, when the whole update ran
    std::vector<Mark> marks;
    // When the JACK server's cycles began during the run (steady clock, ns),
    // where they were recorded.
    std::vector<std::int64_t> cycleStarts;
    // When the server reported an xrun during the run, on the same clock.
    std::vector<std::int64_t> xruns;
};

// The real MainWindow, on the offscreen platform: lists the ports, connects
// to the unit on `inputDevice` / `outputDevice`, presses Update and runs
// until the reply to the last timed message has reached the window. When
// that is the last message of the update, the success box is waited for and
// answered too. A shorter run stops the window there, so that it sends no
// more than it was asked to.
RunFigures runTool(int inputDevice, int outputDevice, int messages, int timeoutMs);

// How a bare client gets over a silence: the tool's watchdog, run the same
// way. A tick comes every `tickMs`; a reply that moves the update on (an
// acknowledgement or a restart request) winds the countdown up to
// `idleTicks`, every tick winds it down by one, and a tick that finds it at
// zero sends the current block again from its first slice and winds it up
// again. With the tool's own 1000 ms and 5 ticks a silence lasts 5 to 6 s on
// either side of a comparison. A `tickMs` of 0 never sends anything again.
struct Recovery
{
    int tickMs = 0;
    int idleTicks = 0;
};
inline constexpr Recovery kNoRecovery{0, 0};

// Where a bare client acts on a reply. A program with a window has to take
// each reply to its main thread, as the tool does; only a program without
// one can answer in the MIDI system's callback.
enum class Answer
{
    InCallback,
    OnMainThread,
};

// A raw client of the winmm layer: sends messages[0] (BeginUpdate) and then
// messages[1..n] each on the reply to the one before, with no window and no
// event loop; from the input callback itself unless told otherwise.
RunFigures winmmPingPong(int inputDevice, int outputDevice, const std::vector<Bytes>& messages,
                         int messagesTimed, Recovery recovery, int timeoutMs,
                         Answer answer = Answer::InCallback);

// The MIDI system a client outside the winmm layer talks to.
enum class MidiSystem
{
    Jack,
    Alsa, // the sequencer, where an interface's ports are kernel clients
};

// Whether a port the system lists is the unit's port `wanted`. On JACK the
// whole "client:port" name. On ALSA the sequencer hands out the client's
// number anew on every plug, and the lists add it where two names read the
// same ("Zelvo 2x2:Zelvo 2x2 MIDI 2 24:1"): `wanted` is the name without
// it, either whole or the port's own part after the client's name.
bool unitPortMatches(MidiSystem system, const std::string& listed, const std::string& wanted);

// The same through RtMidi's client of `system`, ports found by
// unitPortMatches(); on JACK a late server cycle may lose an event.
RunFigures rtmidiPingPong(const std::string& unitOutput, const std::string& unitInput,
                          const std::vector<Bytes>& messages, int messagesTimed, Recovery recovery,
                          int timeoutMs, Answer answer = Answer::InCallback,
                          MidiSystem system = MidiSystem::Jack);

} // namespace orvik::bench
