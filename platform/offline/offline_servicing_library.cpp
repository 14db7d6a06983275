#include "platform/offline/offline_servicing_library.h"

#include <cstring>
#include <optional>
#include <vector>

#include "platform/offline/pe_export_names.h"
#include "servicing/native_path_hash.h"

namespace tessaly::offline {
namespace {

// wcp.dll is a few megabytes; anything far larger is not it.
constexpr std::uint64_t kMaxLibrarySize = std::uint64_t{256} << 20;

bool ReadWholeFile(ImageFiles& files, ImageFileHandle file, std::vector<std::uint8_t>* contents) {
  FileFacts facts;
  if (!files.Inspect(file, &facts).Ok() || facts.size > kMaxLibrarySize) return false;
  contents->resize(static_cast<std::size_t>(facts.size));
  std::size_t filled = 0;
  if (!files.ReadAt(file, 0, *contents, &filled).Ok()) return false;
  contents->resize(filled);
  return true;
}

}  // namespace

ModuleHandle OfflineServicingLibrary::Load(const char16_t* path) {
  std::vector<std::u16string> components;
  UniqueImageFile file(image_.Files());
  std::vector<std::uint8_t> contents;
  if (!image_.SplitPath(path, &components) || !image_.OpenFile(components, FileAccess::Read, &file).Ok() ||
      !ReadWholeFile(image_.Files(), file.Get(), &contents)) {
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
