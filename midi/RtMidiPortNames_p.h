// What the lists show of a port RtMidi names, and what identifies it across
// a re-plug.
#pragma once

#include <rtmidi/RtMidi.h>

#include <string>

namespace orvik::winmm::rtmidibackend {

inline constexpr const char* kClientName = "Orvik16 Update";

// The name without the ALSA sequencer's address where it has one.
std::string shownName(RtMidi::Api api, const std::string& name);
// That address ("24:1"), or empty.
std::string shownAddress(RtMidi::Api api, const std::string& name);
// What stays the same when the port's interface is plugged in again.
std::string portIdentity(RtMidi::Api api, const std::string& name);

} // namespace orvik::winmm::rtmidibackend
