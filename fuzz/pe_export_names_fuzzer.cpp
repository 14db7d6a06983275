// libFuzzer target: the PE export name reader on arbitrary bytes.

#include <cstddef>
#include <cstdint>

#include "platform/offline/pe_export_names.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto names = tessaly::offline::ReadPeExportNames({data, size});
  if (names) {
    // Every name was found inside the input, so none can be longer than it.
    for (const std::string& name : *names) {
      if (name.size() >= size) __builtin_trap();
    }
  }
  return 0;
}
