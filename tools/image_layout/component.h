// A component of the store as the generators lay it out: its key under
// DerivedData\Components and its directory under WinSxS.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "tools/image/hive_writer.h"

namespace tessaly::image {

struct ComponentFile {
  std::u16string relativePath;  // inside the component directory, '\'-separated
  std::string contents;
  std::optional<std::uint32_t> record;  // the file's "f!" REG_DWORD, if it has one
};

// A symbolic link inside a component directory, which the repair passes
// over even when it has a record.
struct ComponentLink {
  std::u16string relativePath;
  std::u16string target;  // relative to the link's directory, '\'-separated
  std::optional<std::uint32_t> record;
};

struct Component {
  std::string name;
  std::vector<HiveValue> values;  // CF, DV and the like, stored as given
  std::vector<ComponentFile> files;
  std::vector<ComponentLink> links;
};

// The name of the record of the file at `relativePath`, as the repair derives
// it (with the engine's own servicing hash).
std::string RecordName(std::u16string_view relativePath);

// The component's key: its values followed by the records of its files and
// links.
HiveKey ComponentKey(const Component& component);

// Writes the component's directory under `winSxS`; throws
// std::filesystem::filesystem_error on failure.
void WriteComponentDirectory(const std::filesystem::path& winSxS, const Component& component);

}  // namespace tessaly::image
