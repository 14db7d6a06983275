#include "hive_contents.h"

#include "registry/registry.h"
#include "tests/tools/hive_reader.h"

namespace tessaly::offline_test {

std::optional<std::map<std::string, StoredValue>> ReadKeyValues(const std::filesystem::path& hive,
                                                                const std::string& keyPath) {
  const std::optional<image::HiveKey> root = image::ReadHive(hive);
  if (!root) return std::nullopt;
  const image::HiveKey* const key = image::FindKey(*root, keyPath);
  if (key == nullptr) return std::nullopt;
  std::map<std::string, StoredValue> values;
  for (const image::HiveValue& value : key->values) values[value.name] = StoredValue{value.type, value.data};
  return values;
}

std::optional<std::uint32_t> ReadDword(const std::filesystem::path& hive, const std::string& keyPath,
                                       const std::string& valueName) {
  const auto values = ReadKeyValues(hive, keyPath);
  if (!values) return std::nullopt;
  const auto found = values->find(valueName);
  if (found == values->end() || found->second.type != kRegDword || found->second.data.size() != 4) {
    return std::nullopt;
  }
  const std::vector<std::uint8_t>& bytes = found->second.data;
  return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
         static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

}  // namespace tessaly::offline_test
