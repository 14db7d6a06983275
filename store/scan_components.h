#pragma once

#include <cstdint>
#include <string>

#include "common/platform.h"
#include "common/repair_outcome.h"
#include "records/repair_mode.h"
#include "registry/registry.h"
#include "servicing/servicing_hash.h"

namespace tessaly {

// Walks the directory of every component listed under componentsKey whose
// CF value has bit 0x200 and which has no DV value, and combines the
// outcomes. Prints nothing itself. *wrongRecords grows by the number of
// wrong records the walks found; in a dry run they are only listed.
RepairOutcome ScanComponents(const Platform& platform, const ServicingHash& servicingHash, KeyHandle componentsKey,
                             const std::u16string& storeRoot, RepairMode mode, std::uint32_t* wrongRecords);

}  // namespace tessaly
