#include "DataSlice.h"

#include "Protocol.h"

namespace {

// Stream positions 0..2 carry the block address; every group of four block
// bytes then takes five positions (four masked bytes and their top bits).
constexpr int kAddressSize = 3;
constexpr int kGroupSize = 5;
constexpr int kGroupCount = kBlockSize / 4;
constexpr int kSliceHeaderSize = kHeaderSize + 3; // header, checksum, two offset bytes

static_assert(kAddressSize + kGroupSize * kGroupCount == kEncodedBlockSize);
static_assert(kSliceSize * (kSliceCount - 1) < kEncodedBlockSize);
static_assert(kSliceSize * kSliceCount >= kEncodedBlockSize);

} // namespace

int WriteFrameHeader(std::uint8_t* out, std::uint8_t command)
{
    out[0] = 0xF0;
    out[1] = kManufacturerId[0];
    out[2] = kManufacturerId[1];
    out[3] = kManufacturerId[2];
    out[4] = kModelId;
    out[5] = 0x00;
    out[6] = 0x00;
    out[7] = 0x00;
    out[8] = 0x00;
    out[9] = command;
    return kHeaderSize;
}

int DataSlicePayloadLength(int slice)
{
    if (slice < 0 || slice >= kSliceCount)
        return 0;
    const int start = slice * kSliceSize;
    const int end = start + kSliceSize < kEncodedBlockSize ? start + kSliceSize : kEncodedBlockSize;
    return end - start;
}

int DataSliceMessageLength(int slice)
{
    const int payload = DataSlicePayloadLength(slice);
    return payload == 0 ? 0 : kSliceHeaderSize + payload + 1;
}

int EncodeDataSlice(const std::uint8_t* image, std::uint32_t imageOffset, int slice,
                    std::uint8_t command, std::uint8_t* out)
{
    const int payload = DataSlicePayloadLength(slice);
    if (payload == 0)
        return 0;

    const int start = slice * kSliceSize;
    const int end = start + payload;
    const std::uint8_t* block = image + imageOffset;

    WriteFrameHeader(out, command);
    const auto offsetLow = static_cast<std::uint8_t>(start & 0x7F);
    const auto offsetHigh = static_cast<std::uint8_t>((start >> 7) & 0x7F);
    out[11] = offsetLow;
    out[12] = offsetHigh;
    unsigned sum = offsetLow + offsetHigh;

    std::uint8_t* dst = out + kSliceHeaderSize;
    int p = start;

    if (p < kAddressSize) {
        const std::uint8_t address[kAddressSize] = {
            static_cast<std::uint8_t>((imageOffset >> 8) & 0x7F),
            static_cast<std::uint8_t>((imageOffset >> 15) & 0x7F), 0x00};
        for (; p < kAddressSize; ++p) {
            *dst++ = address[p];
            sum += address[p];
        }
    }

    // Windows cut groups anywhere, so only the first and the last group of a
    // window can be partial; the whole groups between take the fast path.
    int group = (p - kAddressSize) / kGroupSize;
    int phase = (p - kAddressSize) % kGroupSize;
    while (p < end) {
        const std::uint8_t* b = block + 4 * group;
        const std::uint32_t word = std::uint32_t(b[0]) | std::uint32_t(b[1]) << 8 |
                                   std::uint32_t(b[2]) << 16 | std::uint32_t(b[3]) << 24;
        const std::uint32_t masked = word & 0x7F7F7F7Fu;
        // Gathers bit 7 of each byte into bits 0..3: the multiplier moves the
        // four isolated bits to 24..27 and every cross product lands below.
        const std::uint32_t top = ((((word >> 7) & 0x01010101u) * 0x01020408u) >> 24) & 0x0Fu;

        if (phase == 0 && end - p >= kGroupSize) {
            dst[0] = static_cast<std::uint8_t>(masked);
            dst[1] = static_cast<std::uint8_t>(masked >> 8);
            dst[2] = static_cast<std::uint8_t>(masked >> 16);
            dst[3] = static_cast<std::uint8_t>(masked >> 24);
            dst[4] = static_cast<std::uint8_t>(top);
            // Two 16-bit lanes of byte pairs: no lane can carry into the next.
            const std::uint32_t pairs = (masked & 0x00FF00FFu) + ((masked >> 8) & 0x00FF00FFu);
            sum += (pairs & 0xFFFFu) + (pairs >> 16) + top;
            dst += kGroupSize;
            p += kGroupSize;
        } else {
            const std::uint8_t encoded[kGroupSize] = {
                static_cast<std::uint8_t>(masked), static_cast<std::uint8_t>(masked >> 8),
                static_cast<std::uint8_t>(masked >> 16), static_cast<std::uint8_t>(masked >> 24),
                static_cast<std::uint8_t>(top)};
            int take = kGroupSize - phase;
            if (take > end - p)
                take = end - p;
            for (int k = 0; k < take; ++k) {
                dst[k] = encoded[phase + k];
                sum += encoded[phase + k];
            }
            dst += take;
            p += take;
            phase = 0;
        }
        ++group;
    }

    out[10] = static_cast<std::uint8_t>(sum & 0x7F);
    *dst++ = 0xF7;
    return static_cast<int>(dst - out);
}
