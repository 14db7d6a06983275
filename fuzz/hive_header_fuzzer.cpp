// libFuzzer target: the hive base block check on arbitrary bytes.

#include <cstddef>
#include <cstdint>

#include "platform/offline/hive/base_block.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto state = tessaly::offline::CheckBaseBlock({data, size});
  // Only a whole base block that starts with "regf" can pass.
  if (state != tessaly::offline::BaseBlockState::NotAHive &&
      (size < tessaly::offline::kBaseBlockSize || data[0] != 'r' || data[3] != 'f')) {
    __builtin_trap();
  }
  return 0;
}
