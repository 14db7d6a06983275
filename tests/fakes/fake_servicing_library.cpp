#include "fakes/fake_servicing_library.h"

namespace tessaly::fakes {

ModuleHandle FakeServicingLibrary::Load(const char16_t* path) {
  loadRequests.emplace_back(path);
  events_.Add("load library " + Utf8(path));
  if (!libraries_.contains(path)) return ModuleHandle::None;
  const auto module = static_cast<ModuleHandle>(nextHandle_++);
  loaded_[module] = path;
  return module;
}

void* FakeServicingLibrary::Resolve(ModuleHandle module, const char* exportName) {
  resolveRequests.emplace_back(exportName);
  const auto found = loaded_.find(module);
  if (found == loaded_.end()) {
    ++badHandleUses;
    return nullptr;
  }
  const Exports& exports = libraries_.at(found->second);
  const auto entry = exports.find(exportName);
  return entry == exports.end() ? nullptr : entry->second;
}

void FakeServicingLibrary::Free(ModuleHandle module) {
  if (loaded_.erase(module) == 0) {
    ++badHandleUses;
    return;
  }
  events_.Add("free library");
}

void FakeServicingLibrary::AddLibrary(std::u16string path, Exports exports) {
  libraries_[std::move(path)] = std::move(exports);
}

FakeServicingLibrary::Exports FakeServicingLibrary::ServicingExports(const ServicingHash& hash) {
  return {{kHashExportName, reinterpret_cast<void*>(hash.hash)},
          {kDowncaseExportName, reinterpret_cast<void*>(hash.downcase)}};
}

}  // namespace tessaly::fakes
