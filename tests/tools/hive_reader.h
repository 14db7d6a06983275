// Reads hive files back through hivex, for checking what the writers wrote.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "tools/image/hive_writer.h"

namespace tessaly::image {

// The whole tree as hivex sees it, subkeys and values in hivex's order;
// nullopt when hivex cannot open or walk the file.
std::optional<HiveKey> ReadHive(const std::filesystem::path& file);

// One line per key and value, subkeys sorted by name and values kept in
// order, so that two trees compare as text with a readable difference.
std::string Dump(const HiveKey& key);

// The subkey reached by the '\'-separated path, compared exactly; null when
// there is none.
const HiveKey* FindKey(const HiveKey& root, const std::string& path);

// The named value of `key`, compared exactly; null when there is none.
const HiveValue* FindValue(const HiveKey& key, const std::string& name);

}  // namespace tessaly::image
