#include "platform/offline/offline_registry.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <mutex>
#include <system_error>
#include <vector>

#include "common/console.h"
#include "hive/little_endian.h"
#include "platform/offline/image_tree.h"
#include "hive/name_case.h"
#include "platform/offline/progress_line.h"
#include "platform/offline/save_hive.h"

namespace tessaly::offline {
namespace {

using hive::CellOffset;
using hive::Hive;
using hive::NamedItem;
using hive::ReadLittleEndian32;
using hive::SameName;

constexpr std::uint32_t kKeySetValue = 0x0002;

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

std::optional<CellOffset> FindComponentList(Hive& hive) {
  const std::optional<CellOffset> derivedData = hive.FindSubkey(hive.Root(), u"DerivedData");
  return derivedData ? hive.FindSubkey(*derivedData, u"Components") : std::nullopt;
}

}  // namespace

const OfflineRegistry::OpenedKey* OfflineRegistry::Find(KeyHandle key) const {
  const auto found = keys_.find(key);
  return found == keys_.end() ? nullptr : &found->second;
}

// Hands out a value as the registry does: its type and size always, when
// asked for, and its bytes only when they fit the caller's buffer. The size
// is the one the value's node declares, so data too large for the buffer
// (big data of many segments, for one) is never read.
Win32Status OfflineRegistry::HandOutValue(Hive& hive, CellOffset value, std::uint32_t* type, std::uint8_t* data,
                                           std::uint32_t* dataSize) {
  std::uint32_t valueType = 0;
  std::uint32_t size = 0;
  // A value the hive cannot give is damage the registry reports as a failed read.
  if (hive.ReadValueTypeAndSize(value, &valueType, &size) != 0) return Win32Status::RegistryIoFailed;
  const bool fits = data != nullptr && size <= *dataSize;
  if (fits) {
    if (hive.ReadValue(value, &valueType, &valueBytes_) != 0) return Win32Status::RegistryIoFailed;
  }
  if (type != nullptr) *type = valueType;
  if (dataSize == nullptr) return Win32Status::Success;
  *dataSize = size;
  if (data == nullptr) return Win32Status::Success;
  if (!fits) return Win32Status::MoreData;
  std::memcpy(data, valueBytes_.data(), size);
  return Win32Status::Success;
}

Win32Status OfflineRegistry::OpenSoftwareHive() {
  if (!softwareStatus_) {
    const std::array<std::u16string, 3> path = {kConfigDirectory[0], kConfigDirectory[1], u"SOFTWARE"};
    softwareStatus_ = OpenHiveFile(image_, path, HiveAccess::Read, jobs_, &software_);
  }
  return *softwareStatus_;
}

Win32Status OfflineRegistry::Open(KeyHandle parent, std::u16string_view subKey, bool canSetValues, KeyHandle* key) {
  std::vector<std::u16string_view> names = SplitKeyPath(subKey);
  Hive* hive = nullptr;
  CellOffset node = 0;
  if (parent == kLocalMachine) {
    // Below HKEY_LOCAL_MACHINE, the first name chooses the hive.
    if (names.empty()) return Win32Status::FileNotFound;
    if (SameName(names.front(), u"SOFTWARE")) {
      if (const Win32Status status = OpenSoftwareHive(); status != Win32Status::Success) return status;
      hive = &*software_.hive;
    } else if (SameName(names.front(), u"COMPONENTS") && components_.hive) {
      hive = &*components_.hive;
    } else {
      return Win32Status::FileNotFound;
    }
    node = hive->Root();
    names.erase(names.begin());
  } else {
    const OpenedKey* const opened = Find(parent);
    if (opened == nullptr) return Win32Status::InvalidHandle;
    hive = opened->hive;
    node = opened->node;
  }
  for (const std::u16string_view name : names) {
    const std::optional<CellOffset> subkey = hive->FindSubkey(node, name);
    if (!subkey) return Win32Status::FileNotFound;
    node = *subkey;
  }
  const KeyHandle handle = static_cast<KeyHandle>(++lastKey_);
  // Only the mounted COMPONENTS hive is ever changed.
  const bool writable = components_.hive && hive == &*components_.hive;
  if (writable && node == componentList_ && !scanKey_) scanKey_ = handle;
  keys_.emplace(handle, OpenedKey{hive, node, canSetValues && writable});
  *key = handle;
  return Win32Status::Success;
}

Win32Status OfflineRegistry::OpenKey(KeyHandle parent, const char16_t* subKey, KeyHandle* key) {
  // RegOpenKeyW asks for whatever access the key allows.
  return Open(parent, subKey, true, key);
}

Win32Status OfflineRegistry::OpenKeyEx(KeyHandle parent, const char16_t* subKey, std::uint32_t, std::uint32_t access,
                                       KeyHandle* key) {
  return Open(parent, subKey, (access & kKeySetValue) != 0, key);
}

Win32Status OfflineRegistry::EnumValue(KeyHandle key, std::uint32_t index, char16_t* name, std::uint32_t* nameLength,
                                       std::uint32_t* type, std::uint8_t* data, std::uint32_t* dataSize) {
  const OpenedKey* const opened = Find(key);
  if (opened == nullptr) return Win32Status::InvalidHandle;
  if (data != nullptr && dataSize == nullptr) return Win32Status::InvalidParameter;
  const std::vector<NamedItem>& values = opened->hive->Values(opened->node);
  if (index >= values.size()) return Win32Status::NoMoreItems;
  const NamedItem& value = values[index];
  // The capacity counts the terminating NUL.
  if (value.name.size() >= *nameLength) return Win32Status::MoreData;

  const Win32Status read = HandOutValue(*opened->hive, value.cell, type, data, dataSize);
  if (read != Win32Status::Success && read != Win32Status::MoreData) return read;
  std::copy(value.name.begin(), value.name.end(), name);
  name[value.name.size()] = u'\0';
  *nameLength = static_cast<std::uint32_t>(value.name.size());
  return read;
}

Win32Status OfflineRegistry::EnumKey(KeyHandle key, std::uint32_t index, char16_t* name, std::uint32_t nameCapacity) {
  const OpenedKey* const opened = Find(key);
  if (opened == nullptr) return Win32Status::InvalidHandle;
  const std::vector<NamedItem>& subkeys = opened->hive->Subkeys(opened->node);
  if (index >= subkeys.size()) return Win32Status::NoMoreItems;
  if (key == scanKey_) {
    progress_.ShowComponent(index + 1, static_cast<std::uint32_t>(subkeys.size()));
  }
  const std::u16string& subkeyName = subkeys[index].name;
  if (subkeyName.size() >= nameCapacity) return Win32Status::MoreData;
  std::copy(subkeyName.begin(), subkeyName.end(), name);
  name[subkeyName.size()] = u'\0';
  return Win32Status::Success;
}

Win32Status OfflineRegistry::QueryValueEx(KeyHandle key, const char16_t* valueName, std::uint32_t* type,
                                          std::uint8_t* data, std::uint32_t* dataSize) {
  const OpenedKey* const opened = Find(key);
  if (opened == nullptr) return Win32Status::InvalidHandle;
  if (data != nullptr && dataSize == nullptr) return Win32Status::InvalidParameter;
  const NamedItem* const value = opened->hive->FindValue(opened->node, valueName != nullptr ? valueName : u"");
  if (value == nullptr) return Win32Status::FileNotFound;
  return HandOutValue(*opened->hive, value->cell, type, data, dataSize);
}

// Rewrites an existing REG_DWORD value in place, the only change the repair
// makes; any other change is refused, so the hive's layout never moves.
Win32Status OfflineRegistry::SetValueEx(KeyHandle key, const char16_t* valueName, std::uint32_t type,
                                        const std::uint8_t* data, std::uint32_t dataSize) {
  const OpenedKey* const opened = Find(key);
  if (opened == nullptr) return Win32Status::InvalidHandle;
  if (!opened->canSetValues) return Win32Status::AccessDenied;
  if (type != kRegDword || dataSize != 4 || data == nullptr) return Win32Status::UnsupportedType;
  const NamedItem* const value = opened->hive->FindValue(opened->node, valueName != nullptr ? valueName : u"");
  if (value == nullptr) return Win32Status::FileNotFound;
  const std::uint32_t dword = ReadLittleEndian32(std::span(data, dataSize), 0);
  {
    std::unique_lock<std::mutex> writingAhead;
    if (writeAhead_) writingAhead = writeAhead_->LockImage();
    if (opened->hive->SetDword(value->cell, dword) != 0) return Win32Status::UnsupportedType;
  }
  // From the first change on, the new hive is written while the run goes on.
  if (!writeAhead_ && jobs_ > 1) {
    // Without a thread, the save writes all of it.
    try {
      writeAhead_.emplace(image_.Files(), components_);
    } catch (const std::system_error&) {
    }
  }
  return Win32Status::Success;
}

bool OfflineRegistry::IsComponentsMount(KeyHandle parent, std::u16string_view subKey) const {
  return parent == kLocalMachine && SameName(subKey, u"COMPONENTS");
}

Win32Status OfflineRegistry::LoadKey(KeyHandle parent, const char16_t* subKey, const char16_t* file) {
  if (!IsComponentsMount(parent, subKey)) return Win32Status::InvalidParameter;
  if (components_.hive) return Win32Status::SharingViolation;

  std::vector<std::u16string> path;
  if (!image_.SplitPath(file, &path) || path.empty()) return Win32Status::FileNotFound;
  HiveFile loaded;
  if (opened_.hive) {
    loaded = std::move(opened_);
  } else if (const Win32Status status = OpenHiveFile(image_, path, componentsAccess_, jobs_, &loaded);
             status != Win32Status::Success) {
    return status;
  }
  if (componentsAccess_ == HiveAccess::Repair && !loaded.savable) {
    console_.Print(u"COMPONENTS及其日志中的序列号相差过大，修复后的注册表无法保存为比它们都新的版本，"
                   u"Windows会用日志覆盖修复，因此不执行修复。\n");
    return Win32Status::RegistryCorrupt;
  }
  components_ = std::move(loaded);
  componentList_ = FindComponentList(*components_.hive);
  return Win32Status::Success;
}

Win32Status OfflineRegistry::CommitLoadedHive(KeyHandle parent, const char16_t* subKey) {
  if (!IsComponentsMount(parent, subKey) || !components_.hive) return Win32Status::InvalidParameter;
  // An image in which nothing changed is not written at all.
  if (!components_.hive->Changed()) return Win32Status::Success;
  const SaveResult saved =
      writeAhead_ ? SaveHive(image_.Files(), components_, *writeAhead_) : SaveHive(image_.Files(), components_);
  switch (saved.outcome) {
    case SaveOutcome::Saved:
    case SaveOutcome::SavedDespiteError:
      return Win32Status::Success;
    case SaveOutcome::MetadataNotKept:
      console_.Print(u"新的COMPONENTS无法保留原文件的所有者、权限或扩展属性（NTFS上即安全描述符、文件属性和创建时间），"
                     u"因此没有替换原文件。\n");
      return Win32Status::AccessDenied;
    case SaveOutcome::HiveReplacedMeanwhile:
      console_.Print(u"保存前发现COMPONENTS已被其他程序替换，没有写入修复，也没有改动那个文件。\n");
      return Win32Status::RegistryIoFailed;
    case SaveOutcome::HiveNameLost:
      console_.Print(u"保存时重命名报告失败，COMPONENTS已不存在：原文件保留为 COMPONENTS.tessaly-backup*，"
                     u"修复后的文件为 COMPONENTS.tessaly-new*，请将其中之一改名为 COMPONENTS。\n");
      return Win32Status::CantWrite;
    case SaveOutcome::NotSaved:
      break;
  }
  if (saved.status.problem == FileProblem::InUse) return Win32Status::SharingViolation;
  // A save that did not happen is never reported as one that did.
  const Win32Status status = image_.Files().ToWin32Status(saved.status);
  return status == Win32Status::Success ? Win32Status::RegistryIoFailed : status;
}

Win32Status OfflineRegistry::CloseKey(KeyHandle key) {
  return keys_.erase(key) != 0 ? Win32Status::Success : Win32Status::InvalidHandle;
}

}  // namespace tessaly::offline
