// The MIDI-in byte parser: turns raw bytes into winmm's input callbacks and
// fills the caller's SysEx buffers. Pure and single-threaded, so that it can
// be fed directly (tests, fuzzing); an input port runs it under its lock.
#pragma once

#include "winmm.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

namespace orvik::winmm {

// One input callback, as the port will deliver it.
struct InputEvent
{
    UINT message;
    DWORD_PTR param1;
    DWORD_PTR param2;
};

class MidiInParser
{
public:
    using Events = std::vector<InputEvent>;

    // Queues a prepared SysEx buffer, with winmm's checks and results.
    MMRESULT addBuffer(MIDIHDR* header);
    bool hasBuffers() const { return !buffers_.empty(); }

    // Parses one run of bytes received at `time` (ms since the start) and
    // appends the callbacks they cause. Messages may span calls.
    void parse(const std::uint8_t* data, std::size_t size, DWORD time, Events& events);

    // midiInStop: hands back the buffer in progress but keeps empty ones, and
    // forgets any message left half-way.
    void stop(DWORD time, Events& events);
    // midiInReset: hands back every buffer, and forgets as stop does.
    void reset(DWORD time, Events& events);

private:
    void clear();
    void returnBuffer(UINT message, DWORD time, Events& events);
    void sysexBytes(const std::uint8_t* data, std::size_t size, DWORD time, Events& events);
    void endSysex(UINT message, DWORD time, Events& events);

    std::deque<MIDIHDR*> buffers_;
    bool inSysex_ = false;
    bool dropping_ = false;
    std::uint8_t status_ = 0;
    int count_ = 0;
    std::uint8_t data_[2] = {};
};

} // namespace orvik::winmm
