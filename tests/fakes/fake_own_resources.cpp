#include "fakes/fake_own_resources.h"

namespace tessaly::fakes {

const void* FakeOwnResources::Load(ResourceHandle resource) {
  if (resource != kResource) ++badHandleUses;
  return loads ? block.data() : nullptr;
}

std::uint32_t FakeOwnResources::SizeOf(ResourceHandle resource) {
  if (resource != kResource) ++badHandleUses;
  return static_cast<std::uint32_t>(block.size());
}

bool FakeOwnResources::QueryFixedFileVersion(const void* queried, FileVersion* fixedVersion) {
  queriedBlock = queried;
  const auto* bytes = static_cast<const std::uint8_t*>(queried);
  queriedBytes.assign(bytes, bytes + block.size());
  // The real query may write into the block it is given.
  if (!block.empty()) *const_cast<std::uint8_t*>(bytes) ^= 0xFF;
  if (!queryResult) return false;
  *fixedVersion = version;
  return true;
}

}  // namespace tessaly::fakes
