// The plain image a simulated unit expects to end up with.
#pragma once

#include <QString>

#include <cstdint>
#include <optional>
#include <vector>

namespace orvik::devsim {

// Reads a file or a resource path (":/data/..."); nothing unless it holds
// exactly one image's worth of bytes, with the reason in `error`.
std::optional<std::vector<std::uint8_t>> loadImage(const QString& path, QString* error);

} // namespace orvik::devsim
