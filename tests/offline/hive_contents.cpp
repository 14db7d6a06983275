#include "hive_contents.h"

#include <hivex.h>

#include <cstdlib>
#include <memory>
#include <sstream>

namespace tessaly::offline_test {
namespace {

struct HiveCloser {
  void operator()(hive_h* hive) const { hivex_close(hive); }
};

}  // namespace

std::optional<std::map<std::string, StoredValue>> ReadKeyValues(const std::filesystem::path& hive,
                                                                const std::string& keyPath) {
  const std::unique_ptr<hive_h, HiveCloser> handle(hivex_open(hive.c_str(), 0));
  if (!handle) return std::nullopt;
  hive_node_h node = hivex_root(handle.get());
  std::istringstream names(keyPath);
  for (std::string name; std::getline(names, name, '\\');) {
    node = hivex_node_get_child(handle.get(), node, name.c_str());
    if (node == 0) return std::nullopt;
  }
  hive_value_h* const values = hivex_node_values(handle.get(), node);
  if (values == nullptr) return std::nullopt;
  std::map<std::string, StoredValue> result;
  for (hive_value_h* value = values; *value != 0; ++value) {
    char* const name = hivex_value_key(handle.get(), *value);
    hive_type type{};
    std::size_t length = 0;
    char* const data = hivex_value_value(handle.get(), *value, &type, &length);
    if (name != nullptr && data != nullptr) {
      result[name] = StoredValue{static_cast<std::uint32_t>(type), std::vector<std::uint8_t>(data, data + length)};
    }
    std::free(name);
    std::free(data);
  }
  std::free(values);
  return result;
}

std::optional<std::uint32_t> ReadDword(const std::filesystem::path& hive, const std::string& keyPath,
                                       const std::string& valueName) {
  const auto values = ReadKeyValues(hive, keyPath);
  if (!values) return std::nullopt;
  const auto found = values->find(valueName);
  if (found == values->end() || found->second.type != hive_t_REG_DWORD || found->second.data.size() != 4) {
    return std::nullopt;
  }
  const std::vector<std::uint8_t>& bytes = found->second.data;
  return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
         static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

}  // namespace tessaly::offline_test
