#include "platform/offline/offline_servicing_library.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <vector>

#include "platform/posix/full_io.h"
#include "platform/offline/pe_export_names.h"
#include "platform/posix/unique_fd.h"
#include "servicing/native_path_hash.h"

namespace tessaly::offline {
namespace {

// wcp.dll is a few megabytes; anything far larger is not it.
constexpr off_t kMaxLibrarySize = off_t{256} << 20;

bool ReadWholeFile(int fd, std::vector<std::uint8_t>* contents) {
  struct stat status {};
  if (fstat(fd, &status) != 0 || status.st_size > kMaxLibrarySize) return false;
  contents->resize(static_cast<std::size_t>(status.st_size));
  std::size_t filled = 0;
  if (ReadFully(fd, contents->data(), contents->size(), &filled) != 0) return false;
  contents->resize(filled);
  return true;
}

}  // namespace

ModuleHandle OfflineServicingLibrary::Load(const char16_t* path) {
  std::vector<std::string> components;
  UniqueFd file;
  std::vector<std::uint8_t> contents;
  if (!image_.SplitPath(path, &components) || image_.OpenFile(components, &file) != 0 ||
      !ReadWholeFile(file.Get(), &contents)) {
    return ModuleHandle::None;
  }
  std::optional<std::vector<std::string>> names = ReadPeExportNames(contents);
  if (!names) return ModuleHandle::None;
  const auto module = static_cast<ModuleHandle>(++lastModule_);
  exportsByModule_.emplace(module, std::set<std::string>(names->begin(), names->end()));
  return module;
}

void* OfflineServicingLibrary::Resolve(ModuleHandle module, const char* exportName) {
  const auto found = exportsByModule_.find(module);
  if (found == exportsByModule_.end() || found->second.count(exportName) == 0) return nullptr;
  if (std::strcmp(exportName, kHashExportName) == 0) return reinterpret_cast<void*>(&NativeHashLUnicodeString);
  if (std::strcmp(exportName, kDowncaseExportName) == 0) return reinterpret_cast<void*>(&NativeDowncaseCharacter);
  return nullptr;
}

void OfflineServicingLibrary::Free(ModuleHandle module) { exportsByModule_.erase(module); }

}  // namespace tessaly::offline
