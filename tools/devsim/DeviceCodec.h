// The unit's own view of the wire format: written apart from the tool's
// encoder on purpose, so that a mistake in one is caught by the other instead
// of being shared by both.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace orvik::devsim {

inline constexpr std::uint8_t kSysExStart = 0xF0;
inline constexpr std::uint8_t kSysExEnd = 0xF7;

// Turns the 643-byte 7-bit stream of one block (address, then 128 groups of
// four low-7-bit bytes and their top-bits byte) back into 512 bytes. False
// when a top-bits byte has any of its unused bits 4-6 set; the block is
// decoded all the same.
bool decodeBlock(const std::uint8_t* stream, std::uint8_t* block);

// Block number carried in the stream's first three bytes, or -1 when they
// cannot be the address of a 512-byte block.
int blockAddress(const std::uint8_t* stream);

// Sum of the slice's offset and payload bytes modulo 128.
std::uint8_t sliceChecksum(const std::uint8_t* message, std::size_t size);

// Inverse of the tool's scrambling: the same walk over the keystream, driven
// by the scrambled bytes, which are the input here.
void descrambleImage(std::uint8_t* data, std::uint32_t length, const std::uint8_t* keystream);

inline constexpr int kSliceMessageSize = 126;
inline constexpr int kLastSliceMessageSize = 97;

// "0x2A", for the log.
std::string hex(unsigned value);

// Replies of the unit.
std::vector<std::uint8_t> shortReply(std::uint8_t command);
std::vector<std::uint8_t> identityReply(std::uint32_t serial, std::uint16_t version,
                                        std::string_view name);

// Traffic the unit can put in front of an answer: other makers' and
// models' messages, and a SysEx longer than the tool's input buffers.
const std::vector<std::vector<std::uint8_t>>& unrelatedTraffic();
const std::vector<std::uint8_t>& oversizedSysEx();

} // namespace orvik::devsim
