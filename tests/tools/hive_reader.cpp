#include "tests/tools/hive_reader.h"

#include <hivex.h>

#include <algorithm>
#include <cstdio>

#include "tools/image/hivex_owner.h"

namespace tessaly::image {
namespace {

bool ReadKey(hive_h* hive, hive_node_h node, HiveKey* key) {
  const HivexResult<char> name(hivex_node_name(hive, node));
  if (!name) return false;
  key->name = name.get();

  const HivexResult<hive_value_h> values(hivex_node_values(hive, node));
  if (!values) return false;
  for (const hive_value_h* value = values.get(); *value != 0; ++value) {
    const HivexResult<char> valueName(hivex_value_key(hive, *value));
    hive_type type{};
    std::size_t length = 0;
    const HivexResult<char> data(hivex_value_value(hive, *value, &type, &length));
    if (!valueName || !data) return false;
    key->values.push_back({valueName.get(), static_cast<std::uint32_t>(type),
                           std::vector<std::uint8_t>(data.get(), data.get() + length)});
  }

  const HivexResult<hive_node_h> children(hivex_node_children(hive, node));
  if (!children) return false;
  for (const hive_node_h* child = children.get(); *child != 0; ++child) {
    key->subkeys.emplace_back();
    if (!ReadKey(hive, *child, &key->subkeys.back())) return false;
  }
  return true;
}

void DumpKey(const HiveKey& key, const std::string& indent, std::string* out) {
  *out += indent + "[" + key.name + "]\n";
  for (const HiveValue& value : key.values) {
    *out += indent + "  \"" + value.name + "\" type " + std::to_string(value.type) + " =";
    for (const std::uint8_t byte : value.data) {
      char hex[4];
      std::snprintf(hex, sizeof hex, " %02x", byte);
      *out += hex;
    }
    *out += "\n";
  }
  std::vector<const HiveKey*> subkeys;
  for (const HiveKey& subkey : key.subkeys) subkeys.push_back(&subkey);
  std::sort(subkeys.begin(), subkeys.end(), [](const HiveKey* a, const HiveKey* b) { return a->name < b->name; });
  for (const HiveKey* subkey : subkeys) DumpKey(*subkey, indent + "  ", out);
}

}  // namespace

std::optional<HiveKey> ReadHive(const std::filesystem::path& file) {
  const UniqueHive hive(hivex_open(file.c_str(), 0));
  if (!hive) return std::nullopt;
  HiveKey root;
  if (!ReadKey(hive.get(), hivex_root(hive.get()), &root)) return std::nullopt;
  return root;
}

std::string Dump(const HiveKey& key) {
  std::string out;
  DumpKey(key, "", &out);
  return out;
}

const HiveKey* FindKey(const HiveKey& root, const std::string& path) {
  const HiveKey* key = &root;
  std::size_t start = 0;
  while (key != nullptr && start <= path.size()) {
    const std::size_t end = std::min(path.find('\\', start), path.size());
    const std::string name = path.substr(start, end - start);
    const auto found = std::find_if(key->subkeys.begin(), key->subkeys.end(),
                                    [&name](const HiveKey& subkey) { return subkey.name == name; });
    key = found == key->subkeys.end() ? nullptr : &*found;
    start = end + 1;
  }
  return key;
}

const HiveValue* FindValue(const HiveKey& key, const std::string& name) {
  const auto found = std::find_if(key.values.begin(), key.values.end(),
                                  [&name](const HiveValue& value) { return value.name == name; });
  return found == key.values.end() ? nullptr : &*found;
}

}  // namespace tessaly::image
