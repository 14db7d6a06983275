#pragma once

#include "app/platform.h"
#include "common/status.h"
#include "records/repair_mode.h"

namespace tessaly {

// The whole run, in its fixed order: locale, banner, Windows version gate,
// privileges, servicing stack, hive, scan, summary. Returns the exit code: 0
// after a completed scan, otherwise the failing step's code. A dry run lists
// what a repair would change, ends with the count, and writes nothing.
ExitCode RunRepair(const Platform& platform, RepairMode mode = RepairMode::Repair);

}  // namespace tessaly
