#pragma once

#include <string>

#include "common/platform.h"
#include "common/repair_outcome.h"
#include "registry/registry.h"
#include "servicing/servicing_hash.h"

namespace tessaly {

// Walks the directory of every component listed under componentsKey whose
// CF value has bit 0x200 and which has no DV value, and combines the
// outcomes. Prints nothing itself.
RepairOutcome ScanComponents(const Platform& platform, const ServicingHash& servicingHash, KeyHandle componentsKey,
                             const std::u16string& storeRoot);

}  // namespace tessaly
