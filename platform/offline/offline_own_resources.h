#pragma once

#include "app/own_resources.h"

namespace tessaly::offline {

// A Linux executable has no version resource; the block handed out holds
// the project version the build was configured with.
class OfflineOwnResources final : public OwnResources {
 public:
  ResourceHandle FindVersionResource() override;
  const void* Load(ResourceHandle resource) override;
  std::uint32_t SizeOf(ResourceHandle resource) override;
  bool QueryFixedFileVersion(const void* block, FileVersion* version) override;
};

}  // namespace tessaly::offline
