// The 7-bit encoding of one image block into data-slice messages, free of the
// session and of MIDI so that tests, fuzzers and the benchmark can call it.
#pragma once

#include <cstdint>

// Writes the 10-byte frame header with `command` and returns 10, the offset
// of the message body.
int WriteFrameHeader(std::uint8_t* out, std::uint8_t command);

// Payload length and whole message length of slice `slice` (0..5); 0 for any
// other index.
int DataSlicePayloadLength(int slice);
int DataSliceMessageLength(int slice);

// Writes the complete message (header to closing F7) for slice `slice` of the
// 512-byte block at image + imageOffset into `out` and returns its length:
// 126 for slices 0 to 4, 97 for slice 5. `out` needs room for 126 bytes.
// Reads only the block groups that the window touches. A slice index
// outside 0..5 writes nothing and returns 0.
int EncodeDataSlice(const std::uint8_t* image, std::uint32_t imageOffset, int slice,
                    std::uint8_t command, std::uint8_t* out);
