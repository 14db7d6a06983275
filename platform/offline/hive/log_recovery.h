// TEMPORARY stub until the recovery branch lands.
#pragma once
#include <cstdint>
#include <span>
#include <vector>
namespace tessaly::offline {
struct LogRecovery {
  std::uint32_t entriesApplied = 0;
  std::uint32_t lastSequence = 0;
};
LogRecovery RecoverFromLogs(std::vector<std::uint8_t>* image, std::span<const std::uint8_t> log1,
                            std::span<const std::uint8_t> log2);
std::uint32_t HighestLogSequence(std::span<const std::uint8_t> log);
}  // namespace tessaly::offline
