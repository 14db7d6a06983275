#pragma once

#include "app/own_resources.h"

namespace tessaly::win32 {

// The executable's own version resource through kernel32, and its fixed
// file information through version.dll.
class Win32OwnResources final : public OwnResources {
 public:
  ResourceHandle FindVersionResource() override;
  const void* Load(ResourceHandle resource) override;
  std::uint32_t SizeOf(ResourceHandle resource) override;
  bool QueryFixedFileVersion(const void* block, FileVersion* version) override;
};

}  // namespace tessaly::win32
