#include "platform/win32/win32_registry.h"

#include <windows.h>

#include "platform/win32/wide_text.h"

namespace tessaly::win32 {
namespace {

HKEY ToHkey(KeyHandle key) { return reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(key)); }
KeyHandle ToKeyHandle(HKEY key) { return static_cast<KeyHandle>(reinterpret_cast<std::uintptr_t>(key)); }
Win32Status ToStatus(LSTATUS status) { return static_cast<Win32Status>(status); }

// The SDK's DWORD is unsigned long; the engine's counts are uint32_t. In-out
// counts go through a DWORD and are copied back whatever the call returned.
class DwordInOut {
 public:
  explicit DwordInOut(std::uint32_t* target) : target_(target), value_(target != nullptr ? *target : 0) {}
  DwordInOut(const DwordInOut&) = delete;
  DwordInOut& operator=(const DwordInOut&) = delete;
  ~DwordInOut() {
    if (target_ != nullptr) *target_ = value_;
  }
  LPDWORD Get() { return target_ != nullptr ? &value_ : nullptr; }

 private:
  std::uint32_t* target_;
  DWORD value_;
};

}  // namespace

Win32Status Win32Registry::OpenKey(KeyHandle parent, const char16_t* subKey, KeyHandle* key) {
  HKEY opened = nullptr;
  const LSTATUS status = RegOpenKeyW(ToHkey(parent), AsWide(subKey), &opened);
  *key = ToKeyHandle(opened);
  return ToStatus(status);
}

Win32Status Win32Registry::OpenKeyEx(KeyHandle parent, const char16_t* subKey, std::uint32_t options,
                                     std::uint32_t access, KeyHandle* key) {
  HKEY opened = nullptr;
  const LSTATUS status = RegOpenKeyExW(ToHkey(parent), AsWide(subKey), options, access, &opened);
  *key = ToKeyHandle(opened);
  return ToStatus(status);
}

Win32Status Win32Registry::EnumValue(KeyHandle key, std::uint32_t index, char16_t* name, std::uint32_t* nameLength,
                                     std::uint32_t* type, std::uint8_t* data, std::uint32_t* dataSize) {
  DwordInOut nameCount(nameLength);
  DwordInOut valueType(type);
  DwordInOut dataCount(dataSize);
  return ToStatus(RegEnumValueW(ToHkey(key), index, AsWide(name), nameCount.Get(), nullptr, valueType.Get(), data,
                                dataCount.Get()));
}

Win32Status Win32Registry::EnumKey(KeyHandle key, std::uint32_t index, char16_t* name, std::uint32_t nameCapacity) {
  return ToStatus(RegEnumKeyW(ToHkey(key), index, AsWide(name), nameCapacity));
}

Win32Status Win32Registry::QueryValueEx(KeyHandle key, const char16_t* valueName, std::uint32_t* type,
                                        std::uint8_t* data, std::uint32_t* dataSize) {
  DwordInOut valueType(type);
  DwordInOut dataCount(dataSize);
  return ToStatus(
      RegQueryValueExW(ToHkey(key), AsWide(valueName), nullptr, valueType.Get(), data, dataCount.Get()));
}

Win32Status Win32Registry::SetValueEx(KeyHandle key, const char16_t* valueName, std::uint32_t type,
                                      const std::uint8_t* data, std::uint32_t dataSize) {
  return ToStatus(RegSetValueExW(ToHkey(key), AsWide(valueName), 0, type, data, dataSize));
}

Win32Status Win32Registry::LoadKey(KeyHandle parent, const char16_t* subKey, const char16_t* file) {
  return ToStatus(RegLoadKeyW(ToHkey(parent), AsWide(subKey), AsWide(file)));
}

// Windows writes a loaded hive's changes to its file itself.
Win32Status Win32Registry::CommitLoadedHive(KeyHandle, const char16_t*) { return Win32Status::Success; }

Win32Status Win32Registry::CloseKey(KeyHandle key) { return ToStatus(RegCloseKey(ToHkey(key))); }

}  // namespace tessaly::win32
