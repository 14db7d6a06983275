#include "platform/offline/offline_own_resources.h"

#include <cstring>

#include "app/version.h"

namespace tessaly::offline {
namespace {

constexpr ResourceHandle kVersionResource = static_cast<ResourceHandle>(1);

constexpr FileVersion kVersionBlock{
    (TESSALY_VERSION_MAJOR << 16) | TESSALY_VERSION_MINOR,
    (TESSALY_VERSION_BUILD << 16) | TESSALY_VERSION_REVISION,
};

}  // namespace

ResourceHandle OfflineOwnResources::FindVersionResource() { return kVersionResource; }

const void* OfflineOwnResources::Load(ResourceHandle) { return &kVersionBlock; }

std::uint32_t OfflineOwnResources::SizeOf(ResourceHandle) { return sizeof(kVersionBlock); }

bool OfflineOwnResources::QueryFixedFileVersion(const void* block, FileVersion* version) {
  std::memcpy(version, block, sizeof(*version));
  return true;
}

}  // namespace tessaly::offline
