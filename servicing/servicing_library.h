// Servicing library seam: LoadLibraryW, GetProcAddress and FreeLibrary.
#pragma once

#include <cstdint>
#include <utility>

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

// Owns a loaded library and frees it when it goes out of scope.
class UniqueModule {
 public:
  explicit UniqueModule(ServicingLibrary& library) : library_(&library) {}
  UniqueModule(const UniqueModule&) = delete;
  UniqueModule& operator=(const UniqueModule&) = delete;
  ~UniqueModule() { Reset(); }

  ModuleHandle Get() const { return handle_; }

  void Reset(ModuleHandle handle = ModuleHandle::None) {
    if (handle_ != ModuleHandle::None) library_->Free(handle_);
    handle_ = handle;
  }

 private:
  ServicingLibrary* library_;
  ModuleHandle handle_ = ModuleHandle::None;
};

}  // namespace tessaly
