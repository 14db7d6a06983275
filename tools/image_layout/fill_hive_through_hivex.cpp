#include "tools/image_layout/fill_hive_through_hivex.h"

#include <hivex.h>

#include <vector>

#include "tools/image/hivex_owner.h"

namespace tessaly::image {
namespace {

bool SetValues(hive_h* hive, hive_node_h node, const std::vector<HiveValue>& values) {
  if (values.empty()) return true;
  // hivex takes mutable pointers; these copies outlive the call.
  std::vector<std::string> names;
  std::vector<std::vector<char>> datas;
  names.reserve(values.size());
  datas.reserve(values.size());
  std::vector<hive_set_value> settings;
  for (const HiveValue& value : values) {
    names.push_back(value.name);
    datas.emplace_back(value.data.begin(), value.data.end());
    settings.push_back(
        {names.back().data(), static_cast<hive_type>(value.type), datas.back().size(), datas.back().data()});
  }
  return hivex_node_set_values(hive, node, settings.size(), settings.data(), 0) == 0;
}

bool AddSubkeys(hive_h* hive, hive_node_h parent, const HiveKey& key) {
  for (const HiveKey& subkey : key.subkeys) {
    const hive_node_h node = hivex_node_add_child(hive, parent, subkey.name.c_str());
    if (node == 0 || !SetValues(hive, node, subkey.values) || !AddSubkeys(hive, node, subkey)) return false;
  }
  return true;
}

}  // namespace

bool FillHiveThroughHivex(const std::filesystem::path& file, const HiveKey& root) {
  if (!WriteHive(file, HiveKey{root.name, {}, {}})) return false;
  const UniqueHive hive(hivex_open(file.c_str(), HIVEX_OPEN_WRITE));
  if (!hive) return false;
  const hive_node_h rootNode = hivex_root(hive.get());
  return SetValues(hive.get(), rootNode, root.values) && AddSubkeys(hive.get(), rootNode, root) &&
         hivex_commit(hive.get(), nullptr, 0) == 0;
}

}  // namespace tessaly::image
