// The servicing library seam for an image whose wcp.dll cannot be run here:
// the image's DLL is read (never executed) to learn which entry points it
// exports, and each export the tool needs is answered by the tool's own
// implementation of the same routine.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>

#include "platform/offline/image_tree.h"
#include "servicing/servicing_library.h"

namespace tessaly::offline {

class OfflineServicingLibrary final : public ServicingLibrary {
 public:
  explicit OfflineServicingLibrary(ImageTree& image) : image_(image) {}

  // Loads when the path names a PE image in the image's tree.
  ModuleHandle Load(const char16_t* path) override;
  // NativeHashLUnicodeString and NativeDowncaseCharacter, for the names the
  // loaded DLL exports; null for any other name.
  void* Resolve(ModuleHandle module, const char* exportName) override;
  void Free(ModuleHandle module) override;

 private:
  ImageTree& image_;
  std::map<ModuleHandle, std::set<std::string>> exportsByModule_;
  std::uintptr_t lastModule_ = 0;
};

}  // namespace tessaly::offline
