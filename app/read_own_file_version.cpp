#include "app/read_own_file_version.h"

#include <cstring>
#include <new>
#include <vector>

namespace tessaly {
namespace {

constexpr Hresult kOutOfMemory = static_cast<Hresult>(0x8007000E);  // E_OUTOFMEMORY

}  // namespace

Hresult ReadOwnFileVersion(OwnResources& resources, Host& host, FileVersion* version) {
  const ResourceHandle resource = resources.FindVersionResource();
  if (resource == ResourceHandle::None) return HresultFromLastError(host);
  const void* const loaded = resources.Load(resource);
  if (loaded == nullptr) return HresultFromLastError(host);
  const std::uint32_t size = resources.SizeOf(resource);
  if (size == 0) return HresultFromLastError(host);

  // The version query may write into the block it is given, so it works on a
  // copy rather than on the mapped resource.
  std::vector<std::uint8_t> copy;
  try {
    copy.resize(size);
  } catch (const std::bad_alloc&) {
    return kOutOfMemory;
  }
  std::memcpy(copy.data(), loaded, size);

  FileVersion found;
  if (!resources.QueryFixedFileVersion(copy.data(), &found)) return HresultFromLastError(host);
  *version = found;
  return Hresult::Ok;
}

}  // namespace tessaly
