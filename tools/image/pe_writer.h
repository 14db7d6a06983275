// Writes stand-in DLLs for images of a Windows installation.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace tessaly::image {

// Writes a minimal PE32+ DLL whose export table names exactly `exportNames`.
// Every export points at the same stub, which returns 0. Returns false on
// I/O failure; throws std::invalid_argument for an empty or repeated name.
bool WritePeDll(const std::filesystem::path& file, const std::vector<std::string>& exportNames);

}  // namespace tessaly::image
