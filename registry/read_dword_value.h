#pragma once

#include <cstdint>

#include "common/status.h"
#include "registry/registry.h"

namespace tessaly {

// Reads a REG_DWORD value. Returns Success only when a 4-byte REG_DWORD was
// read; a value of another type gives UnsupportedType, a longer one the
// registry's own status. The value is meaningful only after Success.
Win32Status ReadDwordValue(Registry& registry, KeyHandle key, const char16_t* valueName,
                           std::uint32_t* value);

}  // namespace tessaly
