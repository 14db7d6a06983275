#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/repair_outcome.h"
#include "records/repair_mode.h"

namespace tessaly {

class Console;
class FileSystem;
class Registry;
enum class KeyHandle : std::uintptr_t;
struct ServicingHash;

// True for "." and ".." only.
bool IsDotEntry(std::u16string_view name);

// Checks every file below directoryPath (which ends in "\") against its
// record in componentKey and clears stored-form claims the file does not
// bear out. baseLength is the length of the component directory, so that
// record names include subdirectory names. componentKey must be open for
// setting values. In a dry run the wrong records are only listed and the
// outcome stays 0. Either way *wrongRecords grows by the number of wrong
// records found.
RepairOutcome WalkComponentDirectory(Console& console, Registry& registry, FileSystem& files,
                                     const ServicingHash& servicingHash, KeyHandle componentKey, std::size_t baseLength,
                                     const std::u16string& directoryPath, RepairMode mode, std::uint32_t* wrongRecords);

}  // namespace tessaly
