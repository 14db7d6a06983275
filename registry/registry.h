// Registry seam: one method per Windows registry function the tool calls,
// with the same arguments and results.
#pragma once

#include <cstdint>

#include "common/status.h"
#include "common/unique_handle.h"

namespace tessaly {

enum class KeyHandle : std::uintptr_t { None = 0 };

// HKEY_LOCAL_MACHINE, sign-extended as the Windows headers define it.
inline constexpr KeyHandle kLocalMachine = static_cast<KeyHandle>(
    static_cast<std::uintptr_t>(static_cast<std::intptr_t>(static_cast<std::int32_t>(0x80000002u))));

inline constexpr std::uint32_t kRegExpandSz = 2;
inline constexpr std::uint32_t kRegBinary = 3;
inline constexpr std::uint32_t kRegDword = 4;
inline constexpr std::uint32_t kRegOptionBackupRestore = 4;
inline constexpr std::uint32_t kKeyRead = 0x20019;
inline constexpr std::uint32_t kKeyReadWrite = 0x2001F;  // KEY_READ | KEY_SET_VALUE | KEY_CREATE_SUB_KEY

class Registry {
 public:
  virtual ~Registry() = default;
  // RegOpenKeyW
  virtual Win32Status OpenKey(KeyHandle parent, const char16_t* subKey, KeyHandle* key) = 0;
  // RegOpenKeyExW
  virtual Win32Status OpenKeyEx(KeyHandle parent, const char16_t* subKey, std::uint32_t options,
                                std::uint32_t access, KeyHandle* key) = 0;
  // RegEnumValueW: nameLength is the capacity in characters on entry and the
  // name's length on return; dataSize likewise in bytes.
  virtual Win32Status EnumValue(KeyHandle key, std::uint32_t index, char16_t* name,
                                std::uint32_t* nameLength, std::uint32_t* type, std::uint8_t* data,
                                std::uint32_t* dataSize) = 0;
  // RegEnumKeyW
  virtual Win32Status EnumKey(KeyHandle key, std::uint32_t index, char16_t* name,
                              std::uint32_t nameCapacity) = 0;
  // RegQueryValueExW; type and data may be null.
  virtual Win32Status QueryValueEx(KeyHandle key, const char16_t* valueName, std::uint32_t* type,
                                   std::uint8_t* data, std::uint32_t* dataSize) = 0;
  // RegSetValueExW
  virtual Win32Status SetValueEx(KeyHandle key, const char16_t* valueName, std::uint32_t type,
                                 const std::uint8_t* data, std::uint32_t dataSize) = 0;
  // RegLoadKeyW
  virtual Win32Status LoadKey(KeyHandle parent, const char16_t* subKey, const char16_t* file) = 0;
  // Makes the changes to a hive mounted with LoadKey durable. Windows keeps a
  // loaded hive's file up to date itself; an offline image is written back
  // here. On failure the hive's file is as it was, except after CantWrite:
  // the save stopped halfway and has said what it left where.
  virtual Win32Status CommitLoadedHive(KeyHandle parent, const char16_t* subKey) = 0;
  // RegCloseKey
  virtual Win32Status CloseKey(KeyHandle key) = 0;
};

using UniqueKey = UniqueHandle<KeyHandle::None, &Registry::CloseKey>;

}  // namespace tessaly
