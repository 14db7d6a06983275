// Marvin32, the keyed hash Windows stores twice in every entry of a hive's
// transaction log, so a torn or stale entry is never replayed.
#pragma once

#include <cstdint>
#include <span>

namespace tessaly::hive {

// The seed Windows hashes log entries with.
inline constexpr std::uint64_t kLogEntryHashSeed = 0x82EF4D887A4E55C5;

// bytes: a multiple of 4 bytes long, as every hashed part of a log entry is.
std::uint64_t Marvin32(std::span<const std::uint8_t> bytes, std::uint64_t seed);

}  // namespace tessaly::hive
