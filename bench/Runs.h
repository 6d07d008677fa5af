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
    Memory memoryBefore;
    Memory memoryPeak;
    std::vector<Mark> marks;
};

// The real MainWindow, on the offscreen platform: lists the ports, connects
// to the unit on `inputDevice` / `outputDevice`, presses Update and runs
// until the reply to the last timed message has reached the window. When
// that is the last message of the update, the success box is waited for and
// answered too. A shorter run stops the window there, so that it sends no
// more than it was asked to.
RunFigures runTool(int inputDevice, int outputDevice, int messages, int timeoutMs);

// A raw client of the winmm layer: sends messages[0] (BeginUpdate) and then
// messages[1..n] each on the reply to the one before, from the input
// callback itself, with no window, no event loop and no thread hand-off.
// When no reply comes within `stallMs`, the current block goes again from
// its first slice, as the tool's watchdog sends it.
RunFigures winmmPingPong(int inputDevice, int outputDevice, const std::vector<Bytes>& messages,
                         int messagesTimed, int stallMs, int timeoutMs);

// The same through RtMidi's JACK client, ports named as JACK lists them
// ("client:port"); a late server cycle may lose an event.
RunFigures rtmidiPingPong(const std::string& unitOutput, const std::string& unitInput,
                          const std::vector<Bytes>& messages, int messagesTimed, int stallMs,
                          int timeoutMs);

} // namespace orvik::bench
