#include "platform/win32/win32_servicing_library.h"

#include <windows.h>

#include "platform/win32/wide_text.h"

namespace tessaly::win32 {
namespace {

HMODULE ToHmodule(ModuleHandle module) { return reinterpret_cast<HMODULE>(static_cast<std::uintptr_t>(module)); }

}  // namespace

ModuleHandle Win32ServicingLibrary::Load(const char16_t* path) {
  return static_cast<ModuleHandle>(reinterpret_cast<std::uintptr_t>(LoadLibraryW(AsWide(path))));
}

void* Win32ServicingLibrary::Resolve(ModuleHandle module, const char* exportName) {
  // The caller casts the address back to the entry point's own type.
  return reinterpret_cast<void*>(GetProcAddress(ToHmodule(module), exportName));
}

void Win32ServicingLibrary::Free(ModuleHandle module) { FreeLibrary(ToHmodule(module)); }

}  // namespace tessaly::win32
