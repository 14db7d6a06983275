#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "common/platform.h"
#include "common/repair_outcome.h"
#include "registry/registry.h"
#include "servicing/servicing_hash.h"

namespace tessaly {

// True for "." and ".." only.
bool IsDotEntry(std::u16string_view name);

// Checks every file below directoryPath (which ends in "\") against its
// record in componentKey and clears stored-form claims the file does not
// bear out. baseLength is the length of the component directory, so that
// record names include subdirectory names. componentKey must be open for
// setting values.
RepairOutcome WalkComponentDirectory(const Platform& platform, const ServicingHash& servicingHash,
                                     KeyHandle componentKey, std::size_t baseLength,
                                     const std::u16string& directoryPath);

}  // namespace tessaly
