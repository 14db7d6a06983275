#pragma once

#include "common/platform.h"
#include "common/status.h"

namespace tessaly {

// The whole run, in its fixed order: locale, banner, Windows version gate,
// privileges, servicing stack, hive, scan, summary. Returns the exit code: 0
// after a completed scan, otherwise the failing step's code.
ExitCode RunRepair(const Platform& platform);

}  // namespace tessaly
