// The parts of an offline Windows 10 installation that the repair reads:
// the SOFTWARE hive (version and servicing stack), the servicing stack's
// wcp.dll, the COMPONENTS hive and the WinSxS tree.
#pragma once

#include <filesystem>
#include <vector>

#include "tools/image/hive_writer.h"

namespace tessaly::image {

struct ImagePaths {
  std::filesystem::path windows;   // <out>/Windows
  std::filesystem::path software;  // <out>/Windows/System32/config/SOFTWARE
  std::filesystem::path components;
  std::filesystem::path winSxS;  // <out>/Windows/WinSxS
};

// Creates the directories of an image under `outDir`; throws
// std::filesystem::filesystem_error when it cannot.
ImagePaths CreateImageDirectories(const std::filesystem::path& outDir);

// Windows 10 (10.0) whose servicing Version key names the servicing stack
// directory under %SystemRoot%\WinSxS.
HiveKey SoftwareHive();

// Writes the servicing stack directory with its wcp.dll, exporting the hash
// and downcase routines. Returns false on I/O failure.
bool WriteServicingStack(const ImagePaths& paths);

// ROOT\DerivedData\Components holding the given component keys.
HiveKey ComponentsHive(std::vector<HiveKey> componentKeys);

}  // namespace tessaly::image
