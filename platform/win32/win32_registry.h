#pragma once

#include "registry/registry.h"

namespace tessaly::win32 {

// The advapi32 registry functions, one call per method.
class Win32Registry final : public Registry {
 public:
  Win32Status OpenKey(KeyHandle parent, const char16_t* subKey, KeyHandle* key) override;
  Win32Status OpenKeyEx(KeyHandle parent, const char16_t* subKey, std::uint32_t options, std::uint32_t access,
                        KeyHandle* key) override;
  Win32Status EnumValue(KeyHandle key, std::uint32_t index, char16_t* name, std::uint32_t* nameLength,
                        std::uint32_t* type, std::uint8_t* data, std::uint32_t* dataSize) override;
  Win32Status EnumKey(KeyHandle key, std::uint32_t index, char16_t* name, std::uint32_t nameCapacity) override;
  Win32Status QueryValueEx(KeyHandle key, const char16_t* valueName, std::uint32_t* type, std::uint8_t* data,
                           std::uint32_t* dataSize) override;
  Win32Status SetValueEx(KeyHandle key, const char16_t* valueName, std::uint32_t type, const std::uint8_t* data,
                         std::uint32_t dataSize) override;
  Win32Status LoadKey(KeyHandle parent, const char16_t* subKey, const char16_t* file) override;
  Win32Status CommitLoadedHive(KeyHandle parent, const char16_t* subKey) override;
  Win32Status CloseKey(KeyHandle key) override;
};

}  // namespace tessaly::win32
