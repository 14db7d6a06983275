// Builds a hive the way a registry editor would: an empty hive first, then
// every key and value added through hivex.
#pragma once

#include <filesystem>

#include "tools/image/hive_writer.h"

namespace tessaly::image {

// Writes an empty hive whose root is named root.name, then adds root's values
// and every subkey with its values through hivex and commits. Returns false
// when writing or any hivex call fails. Meant for small trees: hivex copies a
// key's whole subkey list for every child it adds.
bool FillHiveThroughHivex(const std::filesystem::path& file, const HiveKey& root);

}  // namespace tessaly::image
