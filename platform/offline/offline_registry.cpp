#include "platform/offline/offline_registry.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/offline/errno_status.h"
#include "platform/offline/hive/base_block.h"
#include "platform/offline/hive/little_endian.h"
#include "platform/offline/name_case.h"
#include "platform/offline/save_hive.h"

namespace tessaly::offline {
namespace {

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

// Hands out a value's data as the registry does: the size always, when
// asked for, and the bytes only when they fit the caller's buffer.
Win32Status CopyValueData(const std::vector<std::uint8_t>& bytes, std::uint8_t* data, std::uint32_t* dataSize) {
  if (dataSize == nullptr) return Win32Status::Success;
  const std::uint32_t capacity = *dataSize;
  *dataSize = static_cast<std::uint32_t>(bytes.size());
  if (data == nullptr) return Win32Status::Success;
  if (bytes.size() > capacity) return Win32Status::MoreData;
  std::memcpy(data, bytes.data(), bytes.size());
  return Win32Status::Success;
}

// Reads the whole base block, or as much of it as the file has.
int ReadBaseBlock(int fd, std::vector<std::uint8_t>* block) {
  block->resize(kBaseBlockSize);
  std::size_t filled = 0;
  while (filled < block->size()) {
    const ssize_t got = pread(fd, block->data() + filled, block->size() - filled, static_cast<off_t>(filled));
    if (got < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (got == 0) break;
    filled += static_cast<std::size_t>(got);
  }
  block->resize(filled);
  return 0;
}

}  // namespace

const OfflineRegistry::OpenedKey* OfflineRegistry::Find(KeyHandle key) const {
  const auto found = keys_.find(key);
  return found == keys_.end() ? nullptr : &found->second;
}

Win32Status OfflineRegistry::OpenSoftwareHive() {
  if (!softwareStatus_) {
    const std::array<std::string, 3> path = {kConfigDirectory[0], kConfigDirectory[1], "SOFTWARE"};
    UniqueFd file;
    int error = image_.OpenFile(path, &file);
    if (error == 0) software_ = Hive::Open(file.Get(), false, &error);
    softwareStatus_ = !file ? Win32Status::FileNotFound : !software_ ? Win32Status::BadDb : Win32Status::Success;
  }
  return *softwareStatus_;
}

Win32Status OfflineRegistry::Open(KeyHandle parent, std::u16string_view subKey, bool canSetValues, KeyHandle* key) {
  std::vector<std::u16string_view> names = SplitKeyPath(subKey);
  Hive* hive = nullptr;
  hive_node_h node = 0;
  if (parent == kLocalMachine) {
    // Below HKEY_LOCAL_MACHINE, the first name chooses the hive.
    if (names.empty()) return Win32Status::FileNotFound;
    if (SameName(names.front(), u"SOFTWARE")) {
      if (const Win32Status status = OpenSoftwareHive(); status != Win32Status::Success) return status;
      hive = software_.get();
    } else if (SameName(names.front(), u"COMPONENTS") && components_.hive) {
      hive = components_.hive.get();
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
    node = hive->FindSubkey(node, name);
    if (node == 0) return Win32Status::FileNotFound;
  }
  const KeyHandle handle = static_cast<KeyHandle>(++lastKey_);
  keys_.emplace(handle, OpenedKey{hive, node, canSetValues && hive->Writable()});
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

  std::uint32_t valueType = 0;
  std::vector<std::uint8_t>& bytes = valueBytes_;
  if (const int error = opened->hive->ReadValue(value.handle, &valueType, &bytes); error != 0) {
    return Win32StatusFromErrno(error);
  }
  std::copy(value.name.begin(), value.name.end(), name);
  name[value.name.size()] = u'\0';
  *nameLength = static_cast<std::uint32_t>(value.name.size());
  if (type != nullptr) *type = valueType;
  return CopyValueData(bytes, data, dataSize);
}

Win32Status OfflineRegistry::EnumKey(KeyHandle key, std::uint32_t index, char16_t* name, std::uint32_t nameCapacity) {
  const OpenedKey* const opened = Find(key);
  if (opened == nullptr) return Win32Status::InvalidHandle;
  const std::vector<NamedItem>& subkeys = opened->hive->Subkeys(opened->node);
  if (index >= subkeys.size()) return Win32Status::NoMoreItems;
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

  std::uint32_t valueType = 0;
  std::vector<std::uint8_t>& bytes = valueBytes_;
  if (const int error = opened->hive->ReadValue(value->handle, &valueType, &bytes); error != 0) {
    return Win32StatusFromErrno(error);
  }
  if (type != nullptr) *type = valueType;
  return CopyValueData(bytes, data, dataSize);
}

Win32Status OfflineRegistry::SetValueEx(KeyHandle key, const char16_t* valueName, std::uint32_t type,
                                        const std::uint8_t* data, std::uint32_t dataSize) {
  const OpenedKey* const opened = Find(key);
  if (opened == nullptr) return Win32Status::InvalidHandle;
  if (!opened->canSetValues) return Win32Status::AccessDenied;
  const int error =
      opened->hive->SetValue(opened->node, valueName != nullptr ? valueName : u"", type, data, dataSize);
  if (error != 0) return Win32StatusFromErrno(error);
  components_.changed = true;
  return Win32Status::Success;
}

bool OfflineRegistry::IsComponentsMount(KeyHandle parent, std::u16string_view subKey) const {
  return parent == kLocalMachine && SameName(subKey, u"COMPONENTS");
}

Win32Status OfflineRegistry::LoadKey(KeyHandle parent, const char16_t* subKey, const char16_t* file) {
  if (!IsComponentsMount(parent, subKey)) return Win32Status::InvalidParameter;
  if (components_.hive) return Win32Status::SharingViolation;

  std::vector<std::string> path;
  if (!image_.SplitPath(file, &path) || path.empty()) return Win32Status::FileNotFound;
  const std::span<const std::string> directoryPath(path.data(), path.size() - 1);
  LoadedHive loaded;
  int error = image_.OpenDirectory(directoryPath, &loaded.directory);
  if (error == 0) error = image_.FindEntry(loaded.directory.Get(), path.back(), &loaded.fileName);
  if (error == 0) error = OpenRegularFile(loaded.directory.Get(), loaded.fileName, &loaded.lockedFile);
  if (error == EINVAL) return Win32Status::BadDb;  // not a file at all, so not a hive
  if (error != 0) return Win32StatusFromErrno(error);

  // Another run holding the hive is what Windows reports as a sharing violation.
  if (flock(loaded.lockedFile.Get(), LOCK_EX | LOCK_NB) != 0) {
    return errno == EWOULDBLOCK ? Win32Status::SharingViolation : Win32StatusFromErrno(errno);
  }

  std::vector<std::uint8_t> baseBlock;
  if (error = ReadBaseBlock(loaded.lockedFile.Get(), &baseBlock); error != 0) return Win32StatusFromErrno(error);
  switch (CheckBaseBlock(baseBlock)) {
    case BaseBlockState::NotAHive:
      return Win32Status::BadDb;
    case BaseBlockState::Dirty:
      return Win32Status::RegistryCorrupt;
    case BaseBlockState::Clean:
      break;
  }
  loaded.extent = kBaseBlockSize + ReadLittleEndian32(baseBlock, kHiveBinsSizeOffset);

  loaded.hive = Hive::Open(loaded.lockedFile.Get(), true, &error);
  if (!loaded.hive) return Win32Status::BadDb;
  components_ = std::move(loaded);
  return Win32Status::Success;
}

Win32Status OfflineRegistry::CommitLoadedHive(KeyHandle parent, const char16_t* subKey) {
  if (!IsComponentsMount(parent, subKey) || !components_.hive) return Win32Status::InvalidParameter;
  // An image in which nothing changed is not written at all.
  if (!components_.changed) return Win32Status::Success;
  const HiveFileOnDisk onDisk{components_.directory.Get(), components_.fileName, components_.lockedFile.Get(),
                              components_.extent, {}};
  switch (const int error = SaveHive(*components_.hive, onDisk)) {
    case 0:
    case kSaveReplacedDespiteError:
      break;
    case kSaveMetadataNotKept:
      return Win32Status::AccessDenied;
    case kSaveHiveNameLost:
      return Win32Status::RegistryIoFailed;
    default:
      return Win32StatusFromErrno(error);
  }
  components_.changed = false;
  return Win32Status::Success;
}

Win32Status OfflineRegistry::CloseKey(KeyHandle key) {
  return keys_.erase(key) != 0 ? Win32Status::Success : Win32Status::InvalidHandle;
}

}  // namespace tessaly::offline
