#pragma once

#include "servicing/servicing_library.h"

namespace tessaly::win32 {

// LoadLibraryW, GetProcAddress and FreeLibrary.
class Win32ServicingLibrary final : public ServicingLibrary {
 public:
  ModuleHandle Load(const char16_t* path) override;
  void* Resolve(ModuleHandle module, const char* exportName) override;
  void Free(ModuleHandle module) override;
};

}  // namespace tessaly::win32
