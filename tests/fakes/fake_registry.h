#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fakes/event_log.h"
#include "registry/registry.h"

namespace tessaly::fakes {

struct FakeValue {
  std::u16string name;
  std::uint32_t type = 0;
  std::vector<std::uint8_t> data;
};

// One registry key: typed values and subkeys, both kept in the order they
// were added, which is the order they enumerate in. Names ignore case.
class FakeKey {
 public:
  explicit FakeKey(std::u16string name) : name_(std::move(name)) {}

  const std::u16string& Name() const { return name_; }

  // Finds or creates the backslash-separated subkey path.
  FakeKey& Subkey(std::u16string_view path);
  FakeKey* Find(std::u16string_view path);
  void Adopt(std::unique_ptr<FakeKey> subkey) { subkeys_.push_back(std::move(subkey)); }
  const std::vector<std::unique_ptr<FakeKey>>& Subkeys() const { return subkeys_; }

  // Adds the value, or replaces the data and type of the one so named.
  FakeKey& SetValue(std::u16string_view name, std::uint32_t type, std::vector<std::uint8_t> data);
  FakeKey& SetDword(std::u16string_view name, std::uint32_t value);
  // Stores the text with its terminating NUL, as Windows stores strings.
  FakeKey& SetString(std::u16string_view name, std::uint32_t type, std::u16string_view text);
  void DeleteValue(std::u16string_view name);
  const FakeValue* FindValue(std::u16string_view name) const;
  // The value's number when it is a 4-byte REG_DWORD.
  std::optional<std::uint32_t> Dword(std::u16string_view name) const;
  const std::vector<FakeValue>& Values() const { return values_; }

 private:
  friend class FakeRegistry;  // names a hive after the key it is mounted at

  std::u16string name_;
  std::vector<FakeValue> values_;
  std::vector<std::unique_ptr<FakeKey>> subkeys_;
};

std::vector<std::uint8_t> DwordBytes(std::uint32_t value);

// An in-memory registry. Key paths in scripts and observations are written
// from the root, e.g. u"HKLM\\COMPONENTS\\DerivedData\\Components".
class FakeRegistry final : public Registry {
 public:
  explicit FakeRegistry(EventLog& events);

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

  FakeKey& LocalMachine() { return *localMachine_; }
  // A hive file that LoadKey mounts; the test fills the returned root.
  FakeKey& AddHiveFile(std::u16string file);

  // Scripted failures. A failing open of an existing key may still hand out
  // a handle, which the caller then has to close.
  void FailOpen(std::u16string keyPath, Win32Status status, bool handleReturnedAnyway = false);
  void FailEnumKey(std::u16string keyPath, std::uint32_t index, Win32Status status);
  // The failing call still fills in filledName (with its type) when one is given,
  // as RegEnumValueW does when only the data does not fit.
  void FailEnumValue(std::u16string keyPath, std::uint32_t index, Win32Status status,
                     std::u16string filledName = {}, std::uint32_t filledType = 0);
  void FailSetValue(std::u16string valueName, Win32Status status);
  Win32Status loadStatus = Win32Status::Success;
  Win32Status commitStatus = Win32Status::Success;

  // Observations.
  struct OpenCall {
    std::u16string path;
    std::uint32_t options;
    std::uint32_t access;
  };
  std::vector<OpenCall> opens;
  struct EnumValueCall {
    std::uint32_t index;
    std::uint32_t nameCapacity;
    std::uint32_t dataCapacity;
  };
  std::vector<EnumValueCall> enumValueCalls;
  // How many keys were open at each RegEnumKeyW call.
  std::vector<std::size_t> openKeysAtEnumKey;
  struct LoadCall {
    KeyHandle parent;
    std::u16string subKey;
    std::u16string file;
  };
  std::vector<LoadCall> loads;
  struct SetCall {
    std::u16string valueName;
    std::uint32_t type;
    std::vector<std::uint8_t> data;
  };
  std::vector<SetCall> sets;
  int commits = 0;
  int badHandleUses = 0;  // calls on a handle that is not open, closes included

  std::vector<std::u16string> OpenKeyPaths() const;

 private:
  struct OpenKeyState {
    FakeKey* key;
    std::u16string path;
  };
  struct EnumValueFailure {
    Win32Status status;
    std::u16string filledName;
    std::uint32_t filledType;
  };
  struct OpenFailure {
    Win32Status status;
    bool handleReturnedAnyway;
  };

  const OpenKeyState* Lookup(KeyHandle key);
  Win32Status Open(KeyHandle parent, const char16_t* subKey, std::uint32_t options, std::uint32_t access,
                   KeyHandle* key);

  EventLog& events_;
  std::unique_ptr<FakeKey> localMachine_;
  OpenKeyState localMachineState_;
  std::map<std::u16string, std::unique_ptr<FakeKey>> hiveFiles_;
  std::map<KeyHandle, OpenKeyState> openKeys_;
  std::uintptr_t nextHandle_ = 0x1000;
  std::map<std::u16string, OpenFailure> openFailures_;
  std::map<std::pair<std::u16string, std::uint32_t>, Win32Status> enumKeyFailures_;
  std::map<std::pair<std::u16string, std::uint32_t>, EnumValueFailure> enumValueFailures_;
  std::map<std::u16string, Win32Status> setValueFailures_;
};

}  // namespace tessaly::fakes
