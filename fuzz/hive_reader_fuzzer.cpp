// libFuzzer target: a hive file from arbitrary bytes, read as the tool reads
// one: the base block check, then every key reachable from the root (up to a
// bound), their values, and a rewrite of each REG_DWORD in place.

#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/offline/hive/base_block.h"
#include "platform/offline/hive/hive.h"

namespace {

constexpr std::size_t kMaxKeys = 256;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tessaly::offline;
  const BaseBlockState state = CheckBaseBlock({data, size});
  if (state != BaseBlockState::NotAHive && (size < kBaseBlockSize || data[0] != 'r' || data[3] != 'f')) {
    __builtin_trap();
  }
  std::optional<Hive> hive = Hive::Open(HiveImage::Own(std::vector<std::uint8_t>(data, data + size)), 1);
  if (!hive) return 0;

  std::vector<CellOffset> keys = {hive->Root()};
  std::vector<std::uint8_t> bytes;
  for (std::size_t next = 0; next < keys.size() && keys.size() < kMaxKeys; ++next) {
    for (const NamedItem& subkey : hive->Subkeys(keys[next])) {
      if (hive->FindSubkey(keys[next], subkey.name) == std::nullopt) __builtin_trap();
      keys.push_back(subkey.cell);
    }
    const std::vector<NamedItem> values = hive->Values(keys[next]);
    for (const NamedItem& value : values) {
      std::uint32_t type = 0;
      if (hive->ReadValue(value.cell, &type, &bytes) == 0 && hive->SetDword(value.cell, 0x12345678) == 0) {
        if (hive->ReadValue(value.cell, &type, &bytes) != 0 || bytes.size() != 4 || bytes[0] != 0x78) __builtin_trap();
      }
    }
  }
  const int sink = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (hive->WriteTo(sink) != 0) __builtin_trap();
  close(sink);
  return 0;
}
