// The MIDI system's ports as a person picks them: whole names, and what
// tells a port apart from its twin when its interface is plugged in again.
// winmm's caps hold 31 characters of a name and nothing else; our own layer
// gives more through here, Windows gives what winmm has.
//
// Free of Qt, like the port pair, so that it compiles against the real
// Windows headers.
#pragma once

#include "winmm.h"

#include <string>
#include <vector>

struct MidiPortInfo
{
    // What the port opens by, until the ports are read again.
    UINT device = 0;
    // The whole name; where two would read the same, each says which port
    // it is (on ALSA with the sequencer's address, "24:1").
    std::u16string name;
    // What stays the same when the port's interface is unplugged and
    // plugged back in (on ALSA its card's bus path and the port's number,
    // on JACK its full name, on Windows its name). Ports that share it
    // cannot be told apart once they have gone and come back.
    std::u16string identity;
};

// Reads the ports of one direction anew; the device numbers then open the
// ports of this reading.
std::vector<MidiPortInfo> ReadMidiPorts(bool input);

// The MIDI system's own words for why the open that just failed with
// `result` on this thread failed; empty when it has none.
std::u16string MidiOpenFailureText(bool input, MMRESULT result);
