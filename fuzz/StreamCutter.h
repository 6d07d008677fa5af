// How an input's byte stream is cut into the pieces a MIDI system hands
// over: pseudo-random pieces of up to a length the input picks, or, when
// the input says so, pieces whose lengths it gives itself.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

class StreamCutter
{
public:
    StreamCutter(std::uint8_t seed, bool asSaid)
        : longest_(1 + std::size_t(seed)), state_(0x9E3779B9u ^ seed), asSaid_(asSaid)
    {}

    // The length of the piece at `offset`, which moves past a length byte;
    // 0 when the stream has no more.
    std::size_t next(const std::uint8_t* data, std::size_t size, std::size_t& offset)
    {
        if (offset >= size)
            return 0;
        if (asSaid_) {
            // One length byte (0 for 256), then that many bytes as one piece.
            const std::size_t piece = data[offset] == 0 ? 256 : data[offset];
            ++offset;
            return std::min(piece, size - offset);
        }
        state_ ^= state_ << 13;
        state_ ^= state_ >> 17;
        state_ ^= state_ << 5;
        return std::min<std::size_t>(1 + state_ % longest_, size - offset);
    }

private:
    std::size_t longest_;
    std::uint32_t state_;
    bool asSaid_;
};
