// Finds a device of the winmm layer by the name its caps carry.
#pragma once

#include <string_view>

namespace orvik::testsupport {

// The number of the first input / output device named exactly `name`, or -1.
// Starts at device 0, so the system's lists are read afresh.
int findInputDevice(std::u16string_view name);
int findOutputDevice(std::u16string_view name);

} // namespace orvik::testsupport
