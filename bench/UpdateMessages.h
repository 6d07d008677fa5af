// The exact messages of one update, as the tool sends them to one unit.
#pragma once

#include <QString>

#include <cstdint>
#include <vector>

namespace orvik::bench {

using Bytes = std::vector<std::uint8_t>;

// BeginUpdate, then 880 blocks of six data slices and a commit: made by the
// tool's own session for a unit with `serial` and taken off a loopback link.
// The bare ping-pong clients replay them, so that they send what the tool
// sends, byte for byte, to the same unit.
bool captureUpdateMessages(std::uint32_t serial, std::vector<Bytes>& messages, QString* error);

} // namespace orvik::bench
