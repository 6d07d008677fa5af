// What every input buffer the MIDI layer hands back must look like, whichever
// path (the bare parser or the threaded port) filled it.
#pragma once

#include "winmm.h"

#include <cstdint>

// A SysEx buffer holds data bytes only, save for the F0 that opens a message
// and the F7 that ends one; real-time bytes inside a message never land in it.
inline bool wellFormed(const MIDIHDR& header)
{
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(header.lpData);
    const DWORD n = header.dwBytesRecorded;
    for (DWORD i = 0; i < n; ++i) {
        if (bytes[i] < 0x80)
            continue;
        if ((bytes[i] == 0xF0 && i == 0) || (bytes[i] == 0xF7 && i + 1 == n))
            continue;
        return false;
    }
    return true;
}
