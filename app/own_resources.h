// Own-resources seam: the executable's version resource and the version
// library's query of it.
#pragma once

#include <cstdint>

namespace tessaly {

enum class ResourceHandle : std::uintptr_t { None = 0 };

struct FileVersion {
  std::uint32_t mostSignificant = 0;
  std::uint32_t leastSignificant = 0;
};

class OwnResources {
 public:
  virtual ~OwnResources() = default;
  // FindResourceExW(own module, RT_VERSION, 1, language neutral)
  virtual ResourceHandle FindVersionResource() = 0;
  // LoadResource
  virtual const void* Load(ResourceHandle resource) = 0;
  // SizeofResource
  virtual std::uint32_t SizeOf(ResourceHandle resource) = 0;
  // VerQueryValueW(block, "\\"): the fixed file information's file version.
  virtual bool QueryFixedFileVersion(const void* block, FileVersion* version) = 0;
};

}  // namespace tessaly
