#pragma once

#include <cstdint>
#include <vector>

#include "app/own_resources.h"

namespace tessaly::fakes {

// The executable's version resource: present with version 1.0.0.1001 unless
// a test takes it away or makes one of its calls fail.
class FakeOwnResources final : public OwnResources {
 public:
  ResourceHandle FindVersionResource() override { return hasResource ? kResource : ResourceHandle::None; }
  const void* Load(ResourceHandle resource) override;
  std::uint32_t SizeOf(ResourceHandle resource) override;
  bool QueryFixedFileVersion(const void* block, FileVersion* version) override;

  bool hasResource = true;
  bool loads = true;
  // The resource's bytes; its size is what SizeOf reports.
  std::vector<std::uint8_t> block = {'V', 'S', '_', 'V', 'E', 'R', 'S', 'I', 'O', 'N'};
  bool queryResult = true;
  FileVersion version{0x00010000, 0x000003E9};

  // What the version query was given.
  const void* queriedBlock = nullptr;
  std::vector<std::uint8_t> queriedBytes;
  int badHandleUses = 0;

 private:
  static constexpr ResourceHandle kResource = static_cast<ResourceHandle>(0x5EED);
};

}  // namespace tessaly::fakes
