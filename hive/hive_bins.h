// The layout of a hive's bins as Windows' loader requires it before it
// reads a single key: bins of whole pages, headed "hbin", each knowing its
// own place, tiling the hive-bins span exactly, and in each bin cells that
// tile it exactly. A hive that fails is not loaded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace tessaly::hive {

inline constexpr std::size_t kHiveBinHeaderSize = 32;

// bins: the hive-bins span, the base block's hive-bins size long. from: the
// offset of the first bin to check (a bin boundary), so that a span added to
// checked bins is checked alone. Linear in the bytes checked.
bool HiveBinsAreValid(std::span<const std::uint8_t> bins, std::size_t from = 0);

}  // namespace tessaly::hive
