// Little-endian fields of hive and log files, read from bytes that come from
// the image. Callers check the bounds; these only assemble the bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace tessaly::hive {

inline std::uint16_t ReadLittleEndian16(std::span<const std::uint8_t> bytes, std::size_t offset) {
  return static_cast<std::uint16_t>(bytes[offset] | bytes[offset + 1] << 8);
}

inline std::uint32_t ReadLittleEndian32(std::span<const std::uint8_t> bytes, std::size_t offset) {
  return static_cast<std::uint32_t>(bytes[offset]) | static_cast<std::uint32_t>(bytes[offset + 1]) << 8 |
         static_cast<std::uint32_t>(bytes[offset + 2]) << 16 | static_cast<std::uint32_t>(bytes[offset + 3]) << 24;
}

inline std::uint64_t ReadLittleEndian64(std::span<const std::uint8_t> bytes, std::size_t offset) {
  return ReadLittleEndian32(bytes, offset) | static_cast<std::uint64_t>(ReadLittleEndian32(bytes, offset + 4)) << 32;
}

inline void WriteLittleEndian32(std::span<std::uint8_t> bytes, std::size_t offset, std::uint32_t value) {
  for (std::size_t i = 0; i < 4; ++i) bytes[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

}  // namespace tessaly::hive
