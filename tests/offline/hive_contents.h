// Reads a hive file back through hivex, to see what a run left in it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tessaly::offline_test {

struct StoredValue {
  std::uint32_t type = 0;
  std::vector<std::uint8_t> data;
  bool operator==(const StoredValue&) const = default;
};

// All values of the key at keyPath (names separated by "\"), by name;
// nullopt when the hive does not open or has no such key.
std::optional<std::map<std::string, StoredValue>> ReadKeyValues(const std::filesystem::path& hive,
                                                                const std::string& keyPath);

// A REG_DWORD value's number, nullopt when it is missing or of another type.
std::optional<std::uint32_t> ReadDword(const std::filesystem::path& hive, const std::string& keyPath,
                                       const std::string& valueName);

}  // namespace tessaly::offline_test
