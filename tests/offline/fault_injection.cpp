#include "fault_injection.h"

#include <stdlib.h>

#include <optional>

namespace tessaly::offline_test {
namespace {

// Sets an environment variable for the child processes started while it lives.
class ScopedVariable {
 public:
  ScopedVariable(const char* name, const std::string& value) : name_(name) {
    if (const char* old = getenv(name); old != nullptr) old_ = old;
    setenv(name, value.c_str(), 1);
  }
  ScopedVariable(const ScopedVariable&) = delete;
  ScopedVariable& operator=(const ScopedVariable&) = delete;
  ~ScopedVariable() {
    if (old_) {
      setenv(name_, old_->c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

}  // namespace

ToolRun RunTessalyWithFaults(const std::vector<std::string>& arguments, const std::string& faults,
                              const ToolLimits& limits) {
  const ScopedVariable shim("LD_PRELOAD", TESSALY_FAULT_SHIM);
  const ScopedVariable rules("TESSALY_FAULTS", faults);
  // A sanitized build wants its runtime first among the preloaded libraries.
  const char* asanOptions = getenv("ASAN_OPTIONS");
  const ScopedVariable asan("ASAN_OPTIONS",
                            std::string(asanOptions != nullptr ? asanOptions : "") + ":verify_asan_link_order=0");
  return RunTessaly(arguments, limits);
}

ToolRun RunTessalyFailingAllocationsFrom(const std::vector<std::string>& arguments, std::size_t bytes) {
  const ScopedVariable shim("LD_PRELOAD", TESSALY_ALLOCATION_SHIM);
  const ScopedVariable from("TESSALY_FAIL_ALLOCATIONS_FROM", std::to_string(bytes));
  return RunTessaly(arguments);
}

}  // namespace tessaly::offline_test
