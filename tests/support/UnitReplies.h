// Replies as a unit sends them, for tests, fuzz seeds and the benchmark.
//
// The bytes are written out here rather than taken from the protocol's
// constants: a wrong constant in the tool must make the tests fail, not
// follow it into every reply they build.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace testsupport {

// Start of every message the unit sends: SysEx, maker's id, model.
inline constexpr std::uint8_t kUnitHeader[] = {0xF0, 0x00, 0x11, 0x22, 0x0B};

// A reply with no payload (acknowledgements, repeat and restart requests):
// the header, four bytes the unit leaves at zero, the command.
inline std::vector<std::uint8_t> replyFrame(std::uint8_t command)
{
    // One list, not an insert after the header: GCC 12's optimiser warns
    // falsely about the bounds of such an insert.
    const auto* h = kUnitHeader;
    return {h[0], h[1], h[2], h[3], h[4], 0x00, 0x00, 0x00, 0x00, command, 0xF7};
}

// The answer to an identity request: the serial's low 28 bits in four 7-bit
// groups, low first; the version as two 7-bit groups, low first; the name in
// a 16-byte field padded with zeros.
inline std::vector<std::uint8_t> identityReply(std::uint32_t serial, std::uint32_t version,
                                               std::string_view name = "Orvik16 KX")
{
    std::vector<std::uint8_t> m(std::begin(kUnitHeader), std::end(kUnitHeader));
    for (int i = 0; i < 4; ++i)
        m.push_back(static_cast<std::uint8_t>((serial >> (7 * i)) & 0x7F));
    m.push_back(0x20);
    m.push_back(static_cast<std::uint8_t>(version & 0x7F));
    m.push_back(static_cast<std::uint8_t>((version >> 7) & 0x7F));
    for (std::size_t i = 0; i < 16; ++i)
        m.push_back(i < name.size() ? static_cast<std::uint8_t>(name[i]) : 0x00);
    m.push_back(0xF7);
    return m;
}

} // namespace testsupport
