// Runs the real tool with the test tools' fault shim preloaded, for the
// failures a real file system will not produce on demand.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "tool_run.h"

namespace tessaly::offline_test {

// faults: the shim's rules, "call@path-part=action;..." (see
// tests/tools/fault_shim.cpp).
ToolRun RunTessalyWithFaults(const std::vector<std::string>& arguments, const std::string& faults,
                              const ToolLimits& limits = {});

// Every allocation of at least `bytes` fails (see tests/tools/allocation_shim.cpp).
ToolRun RunTessalyFailingAllocationsFrom(const std::vector<std::string>& arguments, std::size_t bytes);

}  // namespace tessaly::offline_test
