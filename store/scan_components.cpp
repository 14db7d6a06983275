#include "store/scan_components.h"

#include <cstdint>

#include "records/walk_component_directory.h"
#include "registry/read_dword_value.h"
#include "registry/registry.h"

namespace tessaly {
namespace {

constexpr std::uint32_t kNameCapacity = 260;
constexpr std::uint32_t kWalkedComponentFlag = 0x200;

bool IsSelected(Registry& registry, KeyHandle componentKey) {
  std::uint32_t flags = 0;
  if (ReadDwordValue(registry, componentKey, u"CF", &flags) != Win32Status::Success ||
      (flags & kWalkedComponentFlag) == 0) {
    return false;
  }
  std::uint32_t size = 0;
  return registry.QueryValueEx(componentKey, u"DV", nullptr, nullptr, &size) != Win32Status::Success;
}

}  // namespace

bool NextWalkedComponent(Registry& registry, KeyHandle componentsKey, std::uint32_t* index, std::u16string* name,
                         UniqueKey& componentKey) {
  char16_t found[kNameCapacity] = {};
  for (; registry.EnumKey(componentsKey, *index, found, kNameCapacity) == Win32Status::Success; ++*index) {
    if (registry.OpenKeyEx(componentsKey, found, kRegOptionBackupRestore, kKeyReadWrite, componentKey.Put()) !=
        Win32Status::Success) {
      componentKey.Reset();
      continue;
    }
    if (!IsSelected(registry, componentKey.Get())) {
      componentKey.Reset();
      continue;
    }
    ++*index;
    *name = found;
    return true;
  }
  return false;
}

RepairOutcome ScanComponents(Console& console, Registry& registry, FileSystem& files,
                             const ServicingHash& servicingHash, KeyHandle componentsKey,
                             const std::u16string& storeRoot, RepairMode mode, std::uint32_t* wrongRecords) {
  RepairOutcome outcome = 0;
  std::uint32_t index = 0;
  std::u16string name;
  for (UniqueKey componentKey(registry); NextWalkedComponent(registry, componentsKey, &index, &name, componentKey);
       componentKey.Reset()) {
    const std::u16string componentDirectory = storeRoot + name + u"\\";
    outcome |= WalkComponentDirectory(console, registry, files, servicingHash, componentKey.Get(),
                                      componentDirectory.size(), componentDirectory, mode, wrongRecords);
  }
  return outcome;
}

}  // namespace tessaly
