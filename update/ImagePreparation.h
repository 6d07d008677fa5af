// Turns the embedded firmware image into the bytes sent to one particular
// unit: read into the image buffer, then scrambled in place with a keystream
// derived from the scramble table and the unit's serial number.
#pragma once

#include <cstdint>

inline constexpr int kScrambleTableSize = 8192;
inline constexpr int kKeystreamSize = 4096;
inline constexpr const char* kImageResourcePath = ":/data/orvik_resources_v2_06.bin";
inline constexpr const char* kPictureResourcePath = ":/data/update_screen_V2_06.png";

// Key material of the build (generated from ORVIK_SCRAMBLE_TABLE).
extern const std::uint8_t ScrambleTable[kScrambleTableSize];

void buildKeystream(std::uint32_t seed, std::uint8_t* out);
void scrambleImage(std::uint8_t* data, std::uint32_t length, const std::uint8_t* keystream);
// Reads kImageSize bytes of the embedded image into imageBuffer and scrambles
// them for `seed`; false when the image resource cannot be opened.
bool prepareImage(std::uint8_t* imageBuffer, std::uint32_t seed);
