#pragma once

#include <cstdint>
#include <string>

#include "common/repair_outcome.h"
#include "records/repair_mode.h"

namespace tessaly {

class Console;
class FileSystem;
class Registry;
enum class KeyHandle : std::uintptr_t;
struct ServicingHash;

// Walks the directory of every component listed under componentsKey whose
// CF value has bit 0x200 and which has no DV value, and combines the
// outcomes. Prints nothing itself. *wrongRecords grows by the number of
// wrong records the walks found; in a dry run they are only listed.
RepairOutcome ScanComponents(Console& console, Registry& registry, FileSystem& files,
                             const ServicingHash& servicingHash, KeyHandle componentsKey,
                             const std::u16string& storeRoot, RepairMode mode, std::uint32_t* wrongRecords);

}  // namespace tessaly
