#pragma once

#include <cstdint>

namespace tessaly {

// Bit set combined with OR over files, directories and components.
using RepairOutcome = std::uint32_t;

inline constexpr RepairOutcome kRecordRewritten = 1;
inline constexpr RepairOutcome kRewriteFailed = 2;

}  // namespace tessaly
