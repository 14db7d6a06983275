// Writes registry hive files in one pass, laid out as Windows 10 writes them
// (regf version 1.5: "lh" subkey leaves under an "ri" root when a key has
// many subkeys, "db" big data for long values), for building test and
// benchmark images of a Windows installation.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace tessaly::image {

inline constexpr std::uint32_t kRegExpandSz = 2;
inline constexpr std::uint32_t kRegBinary = 3;
inline constexpr std::uint32_t kRegDword = 4;

struct HiveValue {
  std::string name;  // UTF-8; empty for the key's default value
  std::uint32_t type;
  std::vector<std::uint8_t> data;
};

struct HiveKey {
  std::string name;  // UTF-8
  std::vector<HiveValue> values;
  std::vector<HiveKey> subkeys;
};

// Writes a complete, clean regf hive file whose root key is `root` (root.name
// is the root key's name). Returns false on I/O failure. Throws
// std::invalid_argument, before touching the file, for a tree no hive can
// hold: a subkey name that is empty, holds a backslash or is longer than 255
// characters; two siblings or two values of a key whose names differ only in
// case; names that are not UTF-8; value data over 65535 segments of 16,344
// bytes (about 1 GiB).
bool WriteHive(const std::filesystem::path& file, const HiveKey& root);

HiveValue DwordValue(std::string name, std::uint32_t value);
HiveValue ExpandStringValue(std::string name, std::u16string text);  // REG_EXPAND_SZ, NUL-terminated UTF-16LE
HiveValue BinaryValue(std::string name, std::vector<std::uint8_t> data);

}  // namespace tessaly::image
