// libFuzzer target: the hive base block check on arbitrary bytes.

#include <cstddef>
#include <cstdint>

#include "platform/offline/hive_header.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto state = tessaly::offline::CheckHiveHeader({data, size});
  // Only a whole base block that starts with "regf" can pass.
  if (state != tessaly::offline::HiveHeaderState::NotAHive &&
      (size < tessaly::offline::kHiveBaseBlockSize || data[0] != 'r' || data[3] != 'f')) {
    __builtin_trap();
  }
  return 0;
}
