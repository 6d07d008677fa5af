// Watches the heap buffers that cross the MIDI driver, through replacements
// of the global allocation functions linked into the test binary.
//
// Only arrays are tracked: every message and input block is one, and little
// else in the process allocates arrays. JACK's library keeps some arrays of
// its own for the life of the process, so nothing is watched unless a test
// asks for it.
#pragma once

#include <cstddef>

namespace bufferwatch {

// Every operator new call (single or array) made on this thread so far.
std::size_t allocations();

// While one of these lives, arrays of the input block size allocated on this
// thread are watched.
class InputBlocks
{
public:
    InputBlocks();
    ~InputBlocks();
    InputBlocks(const InputBlocks&) = delete;
    InputBlocks& operator=(const InputBlocks&) = delete;
};

// Watches an array made by the test; it must be released with delete[].
void watch(void* array);
// Watched arrays not yet released.
int live();

// Calls on this thread only; null to stop.
struct Hooks
{
    void (*allocated)(void* array, std::size_t size) = nullptr;
    void (*released)(void* array) = nullptr;
};
void setHooks(Hooks hooks);

} // namespace bufferwatch
