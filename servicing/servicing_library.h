// Servicing library seam: LoadLibraryW, GetProcAddress and FreeLibrary.
#pragma once

#include <cstdint>

#include "common/unique_handle.h"

namespace tessaly {

enum class ModuleHandle : std::uintptr_t { None = 0 };

class ServicingLibrary {
 public:
  virtual ~ServicingLibrary() = default;
  // LoadLibraryW; None when the library does not load.
  virtual ModuleHandle Load(const char16_t* path) = 0;
  // GetProcAddress; null when the export is missing.
  virtual void* Resolve(ModuleHandle module, const char* exportName) = 0;
  // FreeLibrary
  virtual void Free(ModuleHandle module) = 0;
};

using UniqueModule = UniqueHandle<ModuleHandle::None, &ServicingLibrary::Free>;

}  // namespace tessaly
