#include "ImagePreparation.h"

namespace {

constexpr std::uint32_t kTableMask = kScrambleTableSize - 1;
constexpr std::uint32_t kKeyMask = kKeystreamSize - 1;
static_assert((kScrambleTableSize & kTableMask) == 0 && (kKeystreamSize & kKeyMask) == 0);

// Start values the unit's descrambler expects.
constexpr std::uint32_t kStartA = 51;
constexpr std::uint32_t kStartB = 32;
constexpr std::uint8_t kStartPrevious = 0x55;

} // namespace

void buildKeystream(std::uint32_t seed, std::uint8_t* out)
{
    const std::uint32_t s0 = seed & 0xFF;
    const std::uint32_t s1 = (seed >> 8) & 0xFF;
    const std::uint32_t s2 = (seed >> 16) & 0xFF;
    const std::uint32_t s3 = (seed >> 24) & 0x0F;
    const std::uint8_t* t = ScrambleTable;

    // Only the low 13 bits of acc are ever used, so letting it wrap at 32
    // bits gives the same stream as keeping it modulo the table size.
    std::uint32_t acc = s0;
    for (std::uint32_t i = 0; i < kKeystreamSize; i += 2) {
        acc += t[(((s0 + i) & 0xFF) + acc) & kTableMask];
        acc += t[(s2 + acc) & kTableMask];
        out[i] = static_cast<std::uint8_t>(acc);
        acc += t[(((s1 + i) & 0xFF) + acc) & kTableMask];
        acc += t[(s3 + acc) & kTableMask];
        out[i + 1] = static_cast<std::uint8_t>(acc);
    }

    // The unit rebuilds the stream from the serial it knows, and the serial
    // itself is mixed into the first bytes of the image.
    out[0] = static_cast<std::uint8_t>(s0);
    out[1] = static_cast<std::uint8_t>(s1);
    out[2] = static_cast<std::uint8_t>(s2);
    out[3] = static_cast<std::uint8_t>(s3);
}

void scrambleImage(std::uint8_t* data, std::uint32_t length, const std::uint8_t* keystream)
{
    std::uint32_t a = kStartA;
    std::uint32_t b = kStartB;
    std::uint32_t p1 = kStartPrevious;
    std::uint32_t p2 = kStartPrevious;
    // The key positions follow the scrambled output, so every byte depends on
    // all those before it: a serial chain that cannot be split or vectorised.
    for (std::uint32_t n = 0; n < length; ++n) {
        b = (b - p1) & kKeyMask;
        a = (a - b - p2) & kKeyMask;
        const std::uint32_t y = data[n] ^ keystream[b] ^ keystream[a];
        data[n] = static_cast<std::uint8_t>(y);
        p2 = p1;
        p1 = y;
    }
}
