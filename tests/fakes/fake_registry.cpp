#include "fakes/fake_registry.h"

#include <algorithm>
#include <cstring>

#include "fakes/names.h"

namespace tessaly::fakes {
namespace {

// Splits "a\b\c" into its names; empty names (doubled or trailing
// backslashes) are dropped.
std::vector<std::u16string_view> SplitKeyPath(std::u16string_view path) {
  std::vector<std::u16string_view> names;
  while (!path.empty()) {
    const std::size_t separator = path.find(u'\\');
    const std::u16string_view name = path.substr(0, separator);
    if (!name.empty()) names.push_back(name);
    if (separator == std::u16string_view::npos) break;
    path.remove_prefix(separator + 1);
  }
  return names;
}

std::u16string Text(const char16_t* text) { return text == nullptr ? std::u16string() : std::u16string(text); }

}  // namespace

FakeKey& FakeKey::Subkey(std::u16string_view path) {
  FakeKey* key = this;
  for (const std::u16string_view name : SplitKeyPath(path)) {
    const auto found = std::find_if(key->subkeys_.begin(), key->subkeys_.end(),
                                    [&](const auto& subkey) { return EqualIgnoringCase(subkey->name_, name); });
    if (found != key->subkeys_.end()) {
      key = found->get();
    } else {
      key->subkeys_.push_back(std::make_unique<FakeKey>(std::u16string(name)));
      key = key->subkeys_.back().get();
    }
  }
  return *key;
}

FakeKey* FakeKey::Find(std::u16string_view path) {
  FakeKey* key = this;
  for (const std::u16string_view name : SplitKeyPath(path)) {
    const auto found = std::find_if(key->subkeys_.begin(), key->subkeys_.end(),
                                    [&](const auto& subkey) { return EqualIgnoringCase(subkey->name_, name); });
    if (found == key->subkeys_.end()) return nullptr;
    key = found->get();
  }
  return key;
}

FakeKey& FakeKey::SetValue(std::u16string_view name, std::uint32_t type, std::vector<std::uint8_t> data) {
  const auto found = std::find_if(values_.begin(), values_.end(),
                                  [&](const FakeValue& value) { return EqualIgnoringCase(value.name, name); });
  if (found != values_.end()) {
    found->type = type;
    found->data = std::move(data);
  } else {
    values_.push_back({std::u16string(name), type, std::move(data)});
  }
  return *this;
}

FakeKey& FakeKey::SetDword(std::u16string_view name, std::uint32_t value) {
  return SetValue(name, kRegDword, DwordBytes(value));
}

FakeKey& FakeKey::SetString(std::u16string_view name, std::uint32_t type, std::u16string_view text) {
  std::vector<std::uint8_t> data((text.size() + 1) * sizeof(char16_t));
  std::memcpy(data.data(), text.data(), text.size() * sizeof(char16_t));
  return SetValue(name, type, std::move(data));
}

void FakeKey::DeleteValue(std::u16string_view name) {
  std::erase_if(values_, [&](const FakeValue& value) { return EqualIgnoringCase(value.name, name); });
}

const FakeValue* FakeKey::FindValue(std::u16string_view name) const {
  const auto found = std::find_if(values_.begin(), values_.end(),
                                  [&](const FakeValue& value) { return EqualIgnoringCase(value.name, name); });
  return found == values_.end() ? nullptr : &*found;
}

std::optional<std::uint32_t> FakeKey::Dword(std::u16string_view name) const {
  const FakeValue* value = FindValue(name);
  if (value == nullptr || value->type != kRegDword || value->data.size() != 4) return std::nullopt;
  return static_cast<std::uint32_t>(value->data[0] | value->data[1] << 8 | value->data[2] << 16 |
                                    static_cast<std::uint32_t>(value->data[3]) << 24);
}

std::vector<std::uint8_t> DwordBytes(std::uint32_t value) {
  return {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
          static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
}

FakeRegistry::FakeRegistry(EventLog& events)
    : events_(events),
      localMachine_(std::make_unique<FakeKey>(u"HKLM")),
      localMachineState_{localMachine_.get(), u"HKLM"} {}

FakeKey& FakeRegistry::AddHiveFile(std::u16string file) {
  auto& hive = hiveFiles_[std::move(file)];
  hive = std::make_unique<FakeKey>(u"");
  return *hive;
}

void FakeRegistry::FailOpen(std::u16string keyPath, Win32Status status, bool handleReturnedAnyway) {
  openFailures_[FoldCase(keyPath)] = {status, handleReturnedAnyway};
}

void FakeRegistry::FailEnumKey(std::u16string keyPath, std::uint32_t index, Win32Status status) {
  enumKeyFailures_[{FoldCase(keyPath), index}] = status;
}

void FakeRegistry::FailEnumValue(std::u16string keyPath, std::uint32_t index, Win32Status status,
                                 std::u16string filledName, std::uint32_t filledType) {
  enumValueFailures_[{FoldCase(keyPath), index}] = {status, std::move(filledName), filledType};
}

void FakeRegistry::FailSetValue(std::u16string valueName, Win32Status status) {
  setValueFailures_[FoldCase(valueName)] = status;
}

std::vector<std::u16string> FakeRegistry::OpenKeyPaths() const {
  std::vector<std::u16string> paths;
  for (const auto& [handle, state] : openKeys_) paths.push_back(state.path);
  return paths;
}

const FakeRegistry::OpenKeyState* FakeRegistry::Lookup(KeyHandle key) {
  if (key == kLocalMachine) return &localMachineState_;
  const auto found = openKeys_.find(key);
  if (found == openKeys_.end()) {
    ++badHandleUses;
    return nullptr;
  }
  return &found->second;
}

Win32Status FakeRegistry::Open(KeyHandle parent, const char16_t* subKey, std::uint32_t options,
                               std::uint32_t access, KeyHandle* key) {
  const OpenKeyState* parentState = Lookup(parent);
  if (parentState == nullptr) return Win32Status::InvalidHandle;
  const std::u16string path = parentState->path + u"\\" + Text(subKey);
  opens.push_back({path, options, access});
  events_.Add("open " + Utf8(path));
  FakeKey* const found = parentState->key->Find(Text(subKey));

  const auto failure = openFailures_.find(FoldCase(path));
  if (failure != openFailures_.end()) {
    if (failure->second.handleReturnedAnyway && found != nullptr) {
      const auto handle = static_cast<KeyHandle>(nextHandle_++);
      openKeys_[handle] = {found, path};
      *key = handle;
    }
    return failure->second.status;
  }
  if (found == nullptr) return Win32Status::FileNotFound;
  const auto handle = static_cast<KeyHandle>(nextHandle_++);
  openKeys_[handle] = {found, path};
  *key = handle;
  return Win32Status::Success;
}

// RegOpenKeyW takes no options and asks for the most access allowed; it is recorded as 0, 0.
Win32Status FakeRegistry::OpenKey(KeyHandle parent, const char16_t* subKey, KeyHandle* key) {
  return Open(parent, subKey, 0, 0, key);
}

Win32Status FakeRegistry::OpenKeyEx(KeyHandle parent, const char16_t* subKey, std::uint32_t options,
                                    std::uint32_t access, KeyHandle* key) {
  return Open(parent, subKey, options, access, key);
}

Win32Status FakeRegistry::EnumValue(KeyHandle key, std::uint32_t index, char16_t* name, std::uint32_t* nameLength,
                                    std::uint32_t* type, std::uint8_t* data, std::uint32_t* dataSize) {
  const OpenKeyState* state = Lookup(key);
  if (state == nullptr) return Win32Status::InvalidHandle;
  enumValueCalls.push_back({index, *nameLength, *dataSize});
  events_.Add("enum value " + Utf8(state->path) + " #" + std::to_string(index));

  const auto failure = enumValueFailures_.find({FoldCase(state->path), index});
  if (failure != enumValueFailures_.end()) {
    const std::u16string& filled = failure->second.filledName;
    if (!filled.empty()) {
      std::copy(filled.begin(), filled.end(), name);
      name[filled.size()] = u'\0';
      *nameLength = static_cast<std::uint32_t>(filled.size());
      *type = failure->second.filledType;
    }
    return failure->second.status;
  }

  const std::vector<FakeValue>& values = state->key->Values();
  if (index >= values.size()) return Win32Status::NoMoreItems;
  const FakeValue& value = values[index];
  if (value.name.size() + 1 > *nameLength) return Win32Status::MoreData;
  std::copy(value.name.begin(), value.name.end(), name);
  name[value.name.size()] = u'\0';
  *nameLength = static_cast<std::uint32_t>(value.name.size());
  *type = value.type;
  const auto size = static_cast<std::uint32_t>(value.data.size());
  if (size > *dataSize) {
    *dataSize = size;
    return Win32Status::MoreData;
  }
  std::copy(value.data.begin(), value.data.end(), data);
  *dataSize = size;
  return Win32Status::Success;
}

Win32Status FakeRegistry::EnumKey(KeyHandle key, std::uint32_t index, char16_t* name, std::uint32_t nameCapacity) {
  const OpenKeyState* state = Lookup(key);
  if (state == nullptr) return Win32Status::InvalidHandle;
  openKeysAtEnumKey.push_back(openKeys_.size());
  events_.Add("enum key " + Utf8(state->path) + " #" + std::to_string(index));

  const auto failure = enumKeyFailures_.find({FoldCase(state->path), index});
  if (failure != enumKeyFailures_.end()) return failure->second;
  const auto& subkeys = state->key->Subkeys();
  if (index >= subkeys.size()) return Win32Status::NoMoreItems;
  const std::u16string& subkeyName = subkeys[index]->Name();
  if (subkeyName.size() + 1 > nameCapacity) return Win32Status::MoreData;
  std::copy(subkeyName.begin(), subkeyName.end(), name);
  name[subkeyName.size()] = u'\0';
  return Win32Status::Success;
}

Win32Status FakeRegistry::QueryValueEx(KeyHandle key, const char16_t* valueName, std::uint32_t* type,
                                       std::uint8_t* data, std::uint32_t* dataSize) {
  const OpenKeyState* state = Lookup(key);
  if (state == nullptr) return Win32Status::InvalidHandle;
  events_.Add("query " + Utf8(Text(valueName)));
  const FakeValue* value = state->key->FindValue(Text(valueName));
  if (value == nullptr) return Win32Status::FileNotFound;
  if (type != nullptr) *type = value->type;
  const auto size = static_cast<std::uint32_t>(value->data.size());
  if (data != nullptr && size > *dataSize) {
    *dataSize = size;
    return Win32Status::MoreData;
  }
  if (data != nullptr) std::copy(value->data.begin(), value->data.end(), data);
  *dataSize = size;
  return Win32Status::Success;
}

Win32Status FakeRegistry::SetValueEx(KeyHandle key, const char16_t* valueName, std::uint32_t type,
                                     const std::uint8_t* data, std::uint32_t dataSize) {
  const OpenKeyState* state = Lookup(key);
  if (state == nullptr) return Win32Status::InvalidHandle;
  sets.push_back({Text(valueName), type, std::vector<std::uint8_t>(data, data + dataSize)});
  events_.Add("set " + Utf8(Text(valueName)));
  const auto failure = setValueFailures_.find(FoldCase(Text(valueName)));
  if (failure != setValueFailures_.end()) return failure->second;
  state->key->SetValue(Text(valueName), type, std::vector<std::uint8_t>(data, data + dataSize));
  return Win32Status::Success;
}

Win32Status FakeRegistry::LoadKey(KeyHandle parent, const char16_t* subKey, const char16_t* file) {
  loads.push_back({parent, Text(subKey), Text(file)});
  events_.Add("load " + Utf8(Text(subKey)) + " " + Utf8(Text(file)));
  if (loadStatus != Win32Status::Success) return loadStatus;
  if (parent != kLocalMachine) return Win32Status::InvalidParameter;
  const auto hive = hiveFiles_.find(Text(file));
  if (hive == hiveFiles_.end() || hive->second == nullptr) return Win32Status::FileNotFound;
  if (localMachine_->Find(Text(subKey)) != nullptr) return Win32Status::SharingViolation;
  hive->second->name_ = Text(subKey);
  localMachine_->Adopt(std::move(hive->second));
  return Win32Status::Success;
}

Win32Status FakeRegistry::CommitLoadedHive(KeyHandle parent, const char16_t* subKey) {
  ++commits;
  events_.Add("commit " + Utf8(Text(subKey)));
  if (parent != kLocalMachine || localMachine_->Find(Text(subKey)) == nullptr) return Win32Status::InvalidParameter;
  return commitStatus;
}

Win32Status FakeRegistry::CloseKey(KeyHandle key) {
  const auto found = openKeys_.find(key);
  if (found == openKeys_.end()) {
    ++badHandleUses;
    return Win32Status::InvalidHandle;
  }
  events_.Add("close " + Utf8(found->second.path));
  openKeys_.erase(found);
  return Win32Status::Success;
}

}  // namespace tessaly::fakes
