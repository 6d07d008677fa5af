#include "DeviceCodec.h"

#include "Protocol.h"

namespace orvik::devsim {

namespace {

constexpr int kAddressBytes = 3;
constexpr int kGroupCount = 128;
constexpr int kGroupStreamBytes = 5;
constexpr std::size_t kNameBytes = 16;

constexpr std::uint32_t kKeyMask = 4096 - 1;
constexpr std::uint32_t kStartA = 51;
constexpr std::uint32_t kStartB = 32;
constexpr std::uint32_t kStartPrevious = 0x55;

std::vector<std::uint8_t> frameStart(std::uint8_t command)
{
    // One list rather than an insert after the first five: GCC 12 warns
    // falsely (-Warray-bounds) about that insert once it is inlined.
    return {kSysExStart,
            kManufacturerId[0],
            kManufacturerId[1],
            kManufacturerId[2],
            kModelId,
            0,
            0,
            0,
            0,
            command};
}

} // namespace

static_assert(kAddressBytes + kGroupCount * kGroupStreamBytes == kEncodedBlockSize);
static_assert(kGroupCount * 4 == static_cast<int>(kBlockSize));

bool decodeBlock(const std::uint8_t* stream, std::uint8_t* block)
{
    bool clean = true;
    for (int g = 0; g < kGroupCount; ++g) {
        const std::uint8_t* group = stream + kAddressBytes + g * kGroupStreamBytes;
        const std::uint8_t top = group[4];
        if (top & 0x70)
            clean = false;
        for (int k = 0; k < 4; ++k)
            block[4 * g + k] =
                static_cast<std::uint8_t>((group[k] & 0x7F) | (((top >> k) & 1) << 7));
    }
    return clean;
}

int blockAddress(const std::uint8_t* stream)
{
    const int units = (stream[0] & 0x7F) | ((stream[1] & 0x7F) << 7);
    // Two 256-byte units per block: an odd count or a non-zero third byte
    // points into the middle of a block.
    if ((units & 1) || stream[2] != 0)
        return -1;
    return units / 2;
}

std::uint8_t sliceChecksum(const std::uint8_t* message, std::size_t size)
{
    // Offset bytes at 11 and 12, payload up to the byte before the final F7.
    unsigned sum = 0;
    for (std::size_t i = 11; i + 1 < size; ++i)
        sum += message[i];
    return static_cast<std::uint8_t>(sum & 0x7F);
}

void descrambleImage(std::uint8_t* data, std::uint32_t length, const std::uint8_t* keystream)
{
    std::uint32_t a = kStartA;
    std::uint32_t b = kStartB;
    std::uint32_t p1 = kStartPrevious;
    std::uint32_t p2 = kStartPrevious;
    for (std::uint32_t n = 0; n < length; ++n) {
        const std::uint32_t scrambled = data[n];
        b = (b - p1) & kKeyMask;
        a = (a - b - p2) & kKeyMask;
        data[n] = static_cast<std::uint8_t>(scrambled ^ keystream[b] ^ keystream[a]);
        p2 = p1;
        p1 = scrambled;
    }
}

std::vector<std::uint8_t> shortReply(std::uint8_t command)
{
    auto m = frameStart(command);
    m.push_back(kSysExEnd);
    return m;
}

std::vector<std::uint8_t> identityReply(std::uint32_t serial, std::uint16_t version,
                                        std::string_view name)
{
    std::vector<std::uint8_t> m = {kSysExStart, kManufacturerId[0], kManufacturerId[1],
                                   kManufacturerId[2], kModelId};
    for (int i = 0; i < 4; ++i)
        m.push_back(static_cast<std::uint8_t>((serial >> (7 * i)) & 0x7F));
    m.push_back(kReplyIdentity);
    m.push_back(static_cast<std::uint8_t>(version & 0x7F));
    m.push_back(static_cast<std::uint8_t>((version >> 7) & 0x7F));
    // The name field always takes its full 16 bytes, zero-padded, so that a
    // reader that looks at all of them never runs into the closing F7.
    for (std::size_t i = 0; i < kNameBytes; ++i)
        m.push_back(i < name.size() ? static_cast<std::uint8_t>(name[i] & 0x7F) : 0);
    m.push_back(kSysExEnd);
    return m;
}

} // namespace orvik::devsim
