#pragma once

#include <cstdint>
#include <string>

#include "common/repair_outcome.h"
#include "records/repair_mode.h"
#include "registry/registry.h"

namespace tessaly {

class Console;
class FileSystem;
struct ServicingHash;

// Finds, from subkey *index of componentsKey on, the next component whose
// directory the scan walks: its key opens, its CF value has bit 0x200 and it
// has no DV value. Fills *name and componentKey, and moves *index past it.
// False at the end of the list; an enumeration error ends it the same way.
bool NextWalkedComponent(Registry& registry, KeyHandle componentsKey, std::uint32_t* index, std::u16string* name,
                         UniqueKey& componentKey);

// Walks the directory of every component NextWalkedComponent finds, in
// that order, and combines the outcomes. Prints nothing itself. *wrongRecords grows by the number of
// wrong records the walks found; in a dry run they are only listed.
RepairOutcome ScanComponents(Console& console, Registry& registry, FileSystem& files,
                             const ServicingHash& servicingHash, KeyHandle componentsKey,
                             const std::u16string& storeRoot, RepairMode mode, std::uint32_t* wrongRecords);

}  // namespace tessaly
