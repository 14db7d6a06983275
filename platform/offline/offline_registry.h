// The registry seam answered from the image's hive files: HKEY_LOCAL_MACHINE
// \SOFTWARE is the image's SOFTWARE hive (read only) and, once LoadKey has
// mounted it, HKEY_LOCAL_MACHINE\COMPONENTS its COMPONENTS hive (changed in
// memory, written back by CommitLoadedHive).
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/offline/hive_file.h"
#include "platform/offline/save_hive.h"
#include "registry/registry.h"

namespace tessaly {
class Console;
}  // namespace tessaly

namespace tessaly::offline {

class ImageTree;
class ProgressLine;

class OfflineRegistry final : public Registry {
 public:
  // console: where a save that fails in a way only an offline image can
  // (the new file's security not kept, the hive's name lost) says what
  // happened to the files, before the run reports the failure.
  // progress: told which component of DerivedData\Components the scan has
  // reached, as the scan enumerates that key. componentsAccess: how LoadKey opens the COMPONENTS hive. software,
  // components: those hives when they are open already, so that they are
  // not read again. jobs: the threads the run may use; a hive not open yet
  // is read by that many, and with more than one, the repaired COMPONENTS
  // hive is written ahead of its save from its first change on.
  OfflineRegistry(ImageTree& image, Console& console, ProgressLine& progress,
                  HiveAccess componentsAccess = HiveAccess::Repair, HiveFile components = {}, HiveFile software = {},
                  unsigned jobs = 1)
      : image_(image),
        console_(console),
        progress_(progress),
        software_(std::move(software)),
        componentsAccess_(componentsAccess),
        opened_(std::move(components)),
        jobs_(jobs) {
    if (software_.hive) softwareStatus_ = Win32Status::Success;
  }

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
  // Mounts the COMPONENTS hive file, for a repair locked against other runs
  // for the life of this object.
  Win32Status LoadKey(KeyHandle parent, const char16_t* subKey, const char16_t* file) override;
  Win32Status CommitLoadedHive(KeyHandle parent, const char16_t* subKey) override;
  Win32Status CloseKey(KeyHandle key) override;

 private:
  struct OpenedKey {
    hive::Hive* hive;
    hive::CellOffset node;
    bool canSetValues;
  };

  Win32Status Open(KeyHandle parent, std::u16string_view subKey, bool canSetValues, KeyHandle* key);
  Win32Status OpenSoftwareHive();
  bool IsComponentsMount(KeyHandle parent, std::u16string_view subKey) const;
  const OpenedKey* Find(KeyHandle key) const;
  Win32Status HandOutValue(hive::Hive& hive, hive::CellOffset value, std::uint32_t* type, std::uint8_t* data,
                            std::uint32_t* dataSize);

  ImageTree& image_;
  Console& console_;
  ProgressLine& progress_;
  // Opened on first use; the status of that attempt answers every later one.
  HiveFile software_;
  std::optional<Win32Status> softwareStatus_;
  HiveAccess componentsAccess_;
  HiveFile opened_;
  unsigned jobs_;
  HiveFile components_;
  // After components_, which it writes from: it ends first.
  std::optional<HiveWriteAhead> writeAhead_;
  // DerivedData\Components in the mounted COMPONENTS hive, once found.
  std::optional<hive::CellOffset> componentList_;
  // The first key opened onto the component list is the scan's, whose
  // enumeration the progress line follows; the read-ahead opens its own
  // later, at the first component the scan enters, and enumerates ahead.
  std::optional<KeyHandle> scanKey_;
  std::map<KeyHandle, OpenedKey> keys_;
  std::uintptr_t lastKey_ = 0;
  // The data of the value read last, kept to reuse its storage.
  std::vector<std::uint8_t> valueBytes_;
};

}  // namespace tessaly::offline
